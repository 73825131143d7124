#pragma once

// The cloud API as the engine sees it.  The engine never speaks HTTP itself: every
// call goes through the ApiClient returned by api_client(), which is the libcurl
// client in production and a fake in tests (ScopedApiClient).

#include "core/value.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kolvex::contracts {

// Refusal codes the server puts in {"error": {"code": ...}}; used only as keys.
inline constexpr std::string_view CODE_KEY_REJECTED = "key_rejected";
inline constexpr std::string_view CODE_AMBIGUOUS_TEAM = "ambiguous_team";
inline constexpr std::string_view CODE_REPO_AMBIGUOUS = "repo_ambiguous";
inline constexpr std::string_view CODE_REPO_CONFLICT = "repo_conflict";
inline constexpr std::string_view CODE_NOT_A_MEMBER = "not_a_member";
inline constexpr std::string_view CODE_CAPACITY = "capacity";
inline constexpr std::string_view CODE_BAD_REMOTE = "bad_remote";

// Any failure of an API call: transport, time-out, spent budget, unexpected answer.
// The message says what failed and never carries the API key.
class ApiError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The server refused the request with {"error": {"code", "message"}}; `code()` is
// one of the CODE_* constants (or another code the server sends).
class AgentApiError : public ApiError {
public:
  AgentApiError(std::string code, const std::string& message);
  [[nodiscard]] const std::string& code() const { return m_code; }

private:
  std::string m_code;
};

// What fetch_declarative_state_detailed answers, one entry per entity
// ("kolvexstate", "kolvexrules"): `state` holds the body, or null when the server
// said 304 or refused the entity; `etags` the entity tag to store (the stored one
// when there is no new body); `statuses` the HTTP status (integer), a refusal's too.
struct DeclarativeState {
  core::Map state;
  core::Map etags;
  core::Map statuses;
};

// What fetch_all_specs answers: the response (absent on 304) and its entity tag.
using SpecsAnswer = std::pair<std::optional<core::Value>, std::optional<std::string>>;

// Extra request headers, e.g. {"X-Agent-Session-Id": "<id>"}; empty means none.
using Headers = std::map<std::string, std::string>;

// Where a call goes and who makes it: the API's base URL and the key sent as the
// Bearer token.  The two always travel together, so that neither can be passed in
// the other's place.
struct ApiTarget {
  std::string url;
  std::string key;
};

// The operations the engine calls.  Every operation takes the target first and
// throws ApiError (or AgentApiError for a refusal) on failure, honouring the
// enclosing network_budget.  Each has a body that throws ApiError("not supported"),
// so a client (a test's fake, a client that refuses everything) overrides only the
// operations it answers.
class ApiClient {
public:
  virtual ~ApiClient();

  // GET the project's context; the engine reads its "systems" list.
  [[nodiscard]] virtual core::Value fetch_context(const ApiTarget& /*target*/,
                                                  const std::string& /*project_id*/)
  {
    unsupported();
  }
  // GET the context of the named `systems`; opaque to the engine.
  [[nodiscard]] virtual core::Value
  fetch_system_context(const ApiTarget& /*target*/,
                       const std::string& /*project_id*/,
                       const std::vector<std::string>& /*systems*/)
  {
    unsupported();
  }
  // One conditional GET per entity; `etags` maps entity -> stored tag.  A refused
  // entity is answered by its status, not thrown.
  [[nodiscard]] virtual DeclarativeState fetch_declarative_state_detailed(
      const ApiTarget& /*target*/, const std::string& /*project_id*/, const core::Map& /*etags*/)
  {
    unsupported();
  }
  // Conditional GET of every spec and canonical doc; `etag` is the stored tag.
  [[nodiscard]] virtual SpecsAnswer fetch_all_specs(const ApiTarget& /*target*/,
                                                    const std::string& /*project_id*/,
                                                    const std::optional<std::string>& /*etag*/)
  {
    unsupported();
  }
  // A map with a "rules" list.
  [[nodiscard]] virtual core::Value fetch_guardrails(const ApiTarget& /*target*/,
                                                     const std::string& /*project_id*/)
  {
    unsupported();
  }
  // A list of skill maps, or a map holding it at "skills".
  [[nodiscard]] virtual core::Value fetch_skills(const ApiTarget& /*target*/,
                                                 const std::string& /*project_id*/)
  {
    unsupported();
  }
  // A map from scope ("system", "project") to a list of doc maps.
  [[nodiscard]] virtual core::Value fetch_custom_docs(const ApiTarget& /*target*/,
                                                      const std::string& /*project_id*/)
  {
    unsupported();
  }
  // A list, or a map holding it at "memories" or "data".
  [[nodiscard]] virtual core::Value fetch_memories(const ApiTarget& /*target*/,
                                                   const std::string& /*project_id*/)
  {
    unsupported();
  }
  // POSTs `batch` (attestation records); answers a map whose "inserted" counts the
  // records new to the server.  `extra_headers` go out as request headers.
  [[nodiscard]] virtual core::Value upload_attestations(const ApiTarget& /*target*/,
                                                        const std::string& /*project_id*/,
                                                        const core::List& /*batch*/,
                                                        const Headers& /*extra_headers*/)
  {
    unsupported();
  }
  // Finds or creates the project of origin `remote`; answers "projectId", "title",
  // "created".
  [[nodiscard]] virtual core::Value resolve_project(const ApiTarget& /*target*/,
                                                    const std::string& /*remote*/,
                                                    std::optional<std::int64_t> /*team_id*/)
  {
    unsupported();
  }
  // Who the target's key belongs to: {"user": text, "teams": [{"id", "name"}]};
  // refused with CODE_KEY_REJECTED for a bad key.
  [[nodiscard]] virtual core::Value whoami(const ApiTarget& /*target*/) { unsupported(); }

protected:
  // Why an operation the client does not override fails: "not supported".  A client
  // that refuses every call for one reason overrides this alone.
  [[nodiscard]] virtual std::string unsupported_reason() const;

private:
  // Throws ApiError(unsupported_reason()).
  [[noreturn]] void unsupported() const;
};

// A client whose every operation throws ApiError(`reason`): what api_client()
// answers when none is configured, and what stands in for a client that could not
// be loaded.
class RefusingApiClient final : public ApiClient {
public:
  explicit RefusingApiClient(std::string reason);

protected:
  [[nodiscard]] std::string unsupported_reason() const override;

private:
  std::string m_reason;
};

// Bounds the total network time of every call made while it lives, on any thread
// of the process: the context refresh fetches on six threads under one budget made
// by its caller.  Budgets nest: a later budget never extends an earlier one, so the
// time left is the smallest of all live budgets.  Clients consult remaining()
// before and during each request (connect and request time-outs are cut to it) and
// throw ApiError("network budget exhausted") instead of starting a request once it
// is 0.  May be destroyed on any thread.
class NetworkBudget {
public:
  explicit NetworkBudget(double seconds);
  NetworkBudget(const NetworkBudget&) = delete;
  NetworkBudget& operator=(const NetworkBudget&) = delete;
  ~NetworkBudget();

  // Seconds left on the tightest live budget (never negative), or nullopt when no
  // budget is in force anywhere in the process.
  [[nodiscard]] static std::optional<double> remaining();

private:
  double m_deadline; // steady-clock seconds
};

// Usage: `auto budget = contracts::network_budget(5.0);`.  A negative or NaN
// `seconds` counts as 0 (already spent).
[[nodiscard]] NetworkBudget network_budget(double seconds);

// The client every engine call goes through: the innermost ScopedApiClient, else
// the one the installed factory built, else a client whose every call throws
// ApiError("no API client configured").
[[nodiscard]] ApiClient& api_client();

// Builds the production client; it must live until the process exits.
using ApiClientFactory = ApiClient& (*)();

// Installs `factory` as the source of the process-wide production client; nullptr
// restores the unconfigured one.  The factory is called once, by the first
// api_client() call that no ScopedApiClient answers (from any thread), so that a
// process which never reaches the network never builds the client.  Call at
// start-up, before any thread uses api_client().
void set_default_api_client(ApiClientFactory factory);

// Test override: while it lives, api_client() answers `client` on every thread.
// The caller keeps `client` alive for the scope's life; scopes nest.
class ScopedApiClient {
public:
  explicit ScopedApiClient(ApiClient& client);
  ScopedApiClient(const ScopedApiClient&) = delete;
  ScopedApiClient& operator=(const ScopedApiClient&) = delete;
  ~ScopedApiClient();

private:
  ApiClient* m_previous;
};

} // namespace kolvex::contracts
