#pragma once

// One whole `kolvex sync` as the sync command and the tool server both run it:
// the project resolved when none is linked, the upload and the refresh with the
// user's credentials, and what went wrong with the records, in lines for a user.

#include "core/value.hpp"
#include "display/output.hpp"
#include "repository_handle.hpp"
#include "services/relaycore/log/pending.hpp"
#include "services/relaycore/sync/project_resolution.hpp"
#include "services/relaycore/sync/sync_run.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kolvex::frontend {

// What one `kolvex sync` (or the tool server's sync) did, and its lines for a user.
struct SyncOutcome {
  services::relaycore::log::AttestationResult archived;
  std::optional<services::relaycore::sync::ProjectResolution> resolution;
  services::relaycore::sync::SyncRun run;
  std::string project_id;   // the linked project after the run ("" for none)
  std::int64_t pending = 0; // records left for the next sync (-1: log unreadable)
  bool failed = false;      // no project reached, not signed in, a batch failed, or problems
  // What could not be read or written: the log, the cache directory, the pending
  // attestation's filing.
  std::vector<std::string> problems;
  std::vector<std::pair<display::output::Level, std::string>> lines;
};

// Resolves the project of `repo` when it names none (with `team_id` when given),
// then runs the sync with the user's credentials, every record opened through
// `repo`.  Prints nothing.
[[nodiscard]] SyncOutcome perform_sync(const paths::RepositoryHandle& repo,
                                       std::optional<std::int64_t> team_id);

// The same with the repository at `root` opened once for the whole run; records
// that cannot be opened (a link or a file where .kolvex or .platform belongs) fail
// the sync with that one problem.
[[nodiscard]] SyncOutcome perform_sync(const std::filesystem::path& root,
                                       std::optional<std::int64_t> team_id);

// The outcome as one JSON-ready map: the run's two keys, "ok", the project, the
// resolution and upload results, the cache failure, the files outside .kolvex/ the
// sync created or changed ("changed_files", repository-relative) and those it left
// alone ("file_warnings"), the pending count and the problems.
[[nodiscard]] core::Value sync_report(const SyncOutcome& outcome);

} // namespace kolvex::frontend
