#pragma once

// The catch-up walk: at an agent session start, every unrecorded commit among the
// newest is recorded, newest first, whatever removed the post-commit hook, whatever
// made a capture fail, and whichever harness has no commit event.  Past the first
// recorded commit in git's order only commits made since kolvex was set up count,
// so that history from before is never recorded as new work.

#include "services/relaycore/capture/commit_record.hpp"

#include <filesystem>
#include <optional>
#include <vector>

namespace kolvex::services::relaycore::capture {

// How many commits git is asked for at most, by default.
inline constexpr int CATCH_UP_DEFAULT_LIMIT = 50;

// How long a walk waits for the log lock before giving up (seconds); a second
// session start in the same repository then does nothing and the next one retries.
inline constexpr double CATCH_UP_LOCK_TIMEOUT_SECONDS = 30.0;

// Records the unrecorded commits of `repo_root` among its newest `limit`, holding the log lock for
// the whole walk.  One result per commit handed to capture, newest first; empty when the repository
// was never set up (nothing is created then), when the lock stayed taken, or on failure.  Never
// throws.
[[nodiscard]] std::vector<BackfillResult> catch_up_commits(const std::filesystem::path& repo_root,
                                                           int limit = CATCH_UP_DEFAULT_LIMIT);

// The walk itself; the caller holds the log lock of `repo_root`.  First gives every
// record cut short before its log line (a note beside its archive says so) its
// line, then asks git for `limit` commits.  Returns the results so far when
// something fails midway.
[[nodiscard]] std::vector<BackfillResult> _walk_and_record(const paths::RepositoryHandle& repo,
                                                           int limit);

// True when `repo_root` has never recorded a commit: the log is empty or missing
// and the attestations directory holds no "*.yaml".
[[nodiscard]] bool _nothing_recorded_yet(const paths::RepositoryHandle& repo);

// The local configuration's "installed_at" (ISO 8601 text; no zone means UTC) as
// whole epoch seconds, or nullopt when absent, not text or malformed.
[[nodiscard]] std::optional<double> _installed_at(const std::filesystem::path& repo_root);

// The first-run floor: _installed_at, else the whole-second modification time of
// the first configuration file that exists (current, legacy YAML, legacy JSON).
[[nodiscard]] std::optional<double> _config_anchor(const std::filesystem::path& repo_root);

} // namespace kolvex::services::relaycore::capture
