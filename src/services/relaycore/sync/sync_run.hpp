#pragma once

// One full sync, without presentation: file the pending attestation, refresh the
// tool's own files in the repository, repair the tool's integration best-effort,
// upload what is unsent and refresh the context cache.  Project resolution comes
// first and is the caller's (project_resolution.hpp).

#include "core/value.hpp"
#include "repository_handle.hpp"
#include "services/relaycore/cache/refresh.hpp"
#include "services/relaycore/sync/upload.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kolvex::services::relaycore::sync {

// What one sync did, for a front end to show.
struct SyncRun {
  // The two-key map run_sync returns: "attestations_uploaded", "cache_refreshed".
  core::Map result;
  // The upload's own result, when it ran (credentials and a project were given).
  std::optional<UploadResult> upload{};
  // Why the cache was not refreshed: the refresh's failed stage and error class
  // ("" when it was refreshed, or when the sync stopped before the cache for want
  // of credentials or a project).
  std::string cache_failure;
  // The failures the refresh went on past, one line each.
  std::vector<std::string> cache_warnings{};
  // The debug log a failed refresh wrote (KOLVEX_DEBUG on), for a "details:" hint.
  std::optional<std::filesystem::path> cache_log{};
  // The files outside .kolvex/ the sync created or changed (tool-server
  // registrations, then instruction files), each once, in that order.
  std::vector<cache::ChangedFile> changed_files{};
  // Files of the user's it left alone, and what the user can do instead.
  std::vector<std::string> file_warnings{};
};

// run_sync with the upload result and the cache outcome kept.
[[nodiscard]] SyncRun run_sync_detailed(const paths::RepositoryHandle& repo,
                                        const std::string& api_key,
                                        const std::string& api_url,
                                        const core::Value& project_id);

// The sync run: {"attestations_uploaded": bool, "cache_refreshed": bool}, in that
// order.  Without `api_key` or `project_id` (absent, "" or 0) nothing is sent and
// both stay false, but the pending attestation is still filed and the example
// refreshed.  The self-heals never fail the run; pending processing, upload and
// cache refresh report through their own results.
[[nodiscard]] core::Map run_sync(const paths::RepositoryHandle& repo,
                                 const std::string& api_key,
                                 const std::string& api_url,
                                 const core::Value& project_id);

// Rewrites .kolvex/example-attestation.yaml from the tool's own template, so that
// an upgraded tool never leaves a stale example behind.  An operating-system error
// is logged at debug level and swallowed.
void _refresh_local_static_files(const paths::RepositoryHandle& repo);

} // namespace kolvex::services::relaycore::sync
