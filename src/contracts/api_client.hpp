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

// The operations the engine calls.  Argument orders are fixed: the three
// operations that work before a project is known (fetch_all_specs for historic
// reasons, upload_attestations, resolve_project) take the key and URL first, every
// other fetch takes the project id first.  Every operation throws ApiError (or
// AgentApiError for a refusal) on failure and honours the enclosing network_budget.
class ApiClient {
public:
  virtual ~ApiClient();

  // GET the project's context; the engine reads its "systems" list.
  [[nodiscard]] virtual core::Value fetch_context(const std::string& project_id,
                                                  const std::string& api_key,
                                                  const std::string& api_url) = 0;
  // GET the context of the named `systems`; opaque to the engine.
  [[nodiscard]] virtual core::Value
  fetch_system_context(const std::string& project_id,
                       const std::string& api_key,
                       const std::string& api_url,
                       const std::vector<std::string>& systems) = 0;
  // One conditional GET per entity; `etags` maps entity -> stored tag.  A refused
  // entity is answered by its status, not thrown.
  [[nodiscard]] virtual DeclarativeState
  fetch_declarative_state_detailed(const std::string& project_id,
                                   const std::string& api_key,
                                   const std::string& api_url,
                                   const core::Map& etags) = 0;
  // Conditional GET of every spec and canonical doc; `etag` is the stored tag.
  [[nodiscard]] virtual SpecsAnswer fetch_all_specs(const std::string& api_key,
                                                    const std::string& api_url,
                                                    const std::string& project_id,
                                                    const std::optional<std::string>& etag) = 0;
  // A map with a "rules" list.
  [[nodiscard]] virtual core::Value fetch_guardrails(const std::string& project_id,
                                                     const std::string& api_key,
                                                     const std::string& api_url) = 0;
  // A list of skill maps, or a map holding it at "skills".
  [[nodiscard]] virtual core::Value fetch_skills(const std::string& project_id,
                                                 const std::string& api_key,
                                                 const std::string& api_url) = 0;
  // A map from scope ("system", "project") to a list of doc maps.
  [[nodiscard]] virtual core::Value fetch_custom_docs(const std::string& project_id,
                                                      const std::string& api_key,
                                                      const std::string& api_url) = 0;
  // A list, or a map holding it at "memories" or "data".
  [[nodiscard]] virtual core::Value fetch_memories(const std::string& project_id,
                                                   const std::string& api_key,
                                                   const std::string& api_url) = 0;
  // POSTs `batch` (attestation records); answers a map whose "inserted" counts the
  // records new to the server.  `extra_headers` go out as request headers.
  [[nodiscard]] virtual core::Value upload_attestations(const std::string& api_key,
                                                        const std::string& api_url,
                                                        const std::string& project_id,
                                                        const core::List& batch,
                                                        const Headers& extra_headers) = 0;
  // Finds or creates the project of origin `remote`; answers "projectId", "title",
  // "created".
  [[nodiscard]] virtual core::Value resolve_project(const std::string& api_key,
                                                    const std::string& api_url,
                                                    const std::string& remote,
                                                    std::optional<std::int64_t> team_id) = 0;
  // Who `api_key` belongs to: {"user": text, "teams": [{"id", "name"}]}; refused
  // with CODE_KEY_REJECTED for a bad key.  Only `auth` asks it, so clients that
  // tests fake need not answer: the default throws ApiError("not supported").
  [[nodiscard]] virtual core::Value whoami(const std::string& api_key, const std::string& api_url);
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
// the one installed with set_default_api_client, else a client whose every call
// throws ApiError("no API client configured").
[[nodiscard]] ApiClient& api_client();

// Installs the process-wide production client; nullptr restores the unconfigured
// one.  Call once at start-up, before any thread uses api_client().
void set_default_api_client(std::shared_ptr<ApiClient> client);

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
