#pragma once

// Refreshing the context cache: six fetches from the cloud service in parallel,
// validation of every name the server sends before it becomes a file name, the bulk
// written by services::context_cache, the rules, skills, custom docs and memories
// written here (cache_writers), and, only when the working tree may change, the
// platform skills, skill distribution and the agents' guidance files.  Never
// throws: a failure is a RefreshResult naming the stage and the exception's class.

#include "contracts/api_client.hpp"
#include "core/value.hpp"
#include "repository_handle.hpp"

#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kolvex::services::relaycore::cache {

// The stages a refresh passes through, in order; a failed refresh names the one
// that was running.
inline constexpr std::string_view k_stage_missing_project_id = "missing_project_id";
inline constexpr std::string_view k_stage_read_etags = "read_etags";
inline constexpr std::string_view k_stage_fetch_context = "fetch_context";
inline constexpr std::string_view k_stage_fetch_system_context = "fetch_system_context";
inline constexpr std::string_view k_stage_fetch_declarative_state = "fetch_declarative_state";
inline constexpr std::string_view k_stage_write_local_caches = "write_local_caches";

// How a refresh went.  Its truth value is `ok`.
// A file outside .kolvex/ that a sync created or changed, relative to the
// repository root, so that the user is told what in their tree moved.
struct ChangedFile {
  std::filesystem::path path;
  bool created = false;
};

struct RefreshResult {
  // The refresh completed.
  bool ok = false;
  // On failure, the stage that was running.
  std::optional<std::string> stage{};
  // On an exception, its class name only (never its message, which can carry
  // paths, URLs and response bodies).
  std::optional<std::string> error{};
  // The debug log the failure was written to: set exactly when KOLVEX_DEBUG was on
  // and the write succeeded, so the command line may point at it.
  std::optional<std::filesystem::path> log_path{};
  // One line per failure the refresh went on past ("Skills fetch failed
  // (TimeoutError)", "kolvexrules refused by the server (HTTP 401)"), so that a
  // refresh that kept a stale copy does not read as a clean one.
  std::vector<std::string> warnings{};
  // The agents' instruction files the refresh created or changed, in order.
  std::vector<ChangedFile> changed_files{};

  explicit operator bool() const { return ok; }
};

// Options of a refresh, given by name: `{.mutate_workspace = false}`.
struct RefreshOptions {
  // False on the git-hook path: every write stays in the ignored cache, and the
  // platform-skill install, skill distribution and guidance rewrite wait for the
  // next interactive sync (a hook must not hand the developer edits to tracked
  // files, nor stall a commit on npx).
  bool mutate_workspace = true;
};

// Refreshes the cache of `repo` from project `project_id` (an integer or a
// text; 0 and "" mean none: stage "missing_project_id" at once, no network call)
// with `api_key` at `api_url`.  Every fetch honours the caller's network_budget.
[[nodiscard]] RefreshResult refresh_context_cache_detailed(const std::string& api_key,
                                                           const std::string& api_url,
                                                           const paths::RepositoryHandle& repo,
                                                           const core::Value& project_id,
                                                           RefreshOptions options = {});

// refresh_context_cache_detailed's `ok`, for callers that need only yes or no.
[[nodiscard]] bool refresh_context_cache(const std::string& api_key,
                                         const std::string& api_url,
                                         const paths::RepositoryHandle& repo,
                                         const core::Value& project_id,
                                         RefreshOptions options = {});

// The unqualified class name of `exc`: the only form in which an exception leaves
// a refresh.
[[nodiscard]] std::string _short_exc(const std::exception& exc);

// Logs "<label> fetch failed (non-fatal): <exception>" at debug level.
void _log_non_fatal_fetch(std::string_view label, const std::exception& exc);

// Runs `fn` and returns its result, or nullopt after logging when it throws: for
// the fetches whose failure must not fail the refresh.  `failure`, when given, gets
// "<label> fetch failed (<class>)".  Safe on a fetch thread.
template <typename Fn>
[[nodiscard]] std::optional<std::invoke_result_t<Fn&>>
_nf(std::string_view label, Fn&& fn, std::string* failure = nullptr)
{
  try {
    return fn();
  } catch (const std::exception& exc) {
    _log_non_fatal_fetch(label, exc);
    if (failure != nullptr) {
      *failure = std::string(label) + " fetch failed (" + _short_exc(exc) + ")";
    }
    return std::nullopt;
  }
}

// Specs and canonical docs of a specs answer, each name checked to be a safe slug.
struct SpecsPayload {
  // Domain -> content; nullopt when the answer carried no "specs" list.
  std::optional<std::map<std::string, std::string>> specs;
  // Name -> content; nullopt when the answer carried no "canonical_docs" list.
  std::optional<std::map<std::string, std::string>> canonical_docs;
};

// The specs and canonical docs of `response` (absent on a not-modified answer).
// Rows that are not maps, or whose name is not a safe slug, are skipped with a
// warning; rows without non-empty text content are dropped; a later row of the
// same name wins.  Never throws for malformed input.
[[nodiscard]] SpecsPayload _collect_specs(const std::optional<core::Value>& response);

} // namespace kolvex::services::relaycore::cache
