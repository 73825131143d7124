#pragma once

// One record per commit, whichever trigger saw it: the git post-commit hook
// (record_commit), an agent harness's post-tool hook and the session-start
// catch-up (capture_commit), and an onboarding agent's backfill (record_backfill).
// All of them are idempotent by commit sha.

#include "repository_handle.hpp"
#include "services/relaycore/capture/commit_record.hpp"
#include "services/relaycore/log/commit_search.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace kolvex::services::relaycore::capture {

// The keyword arguments of capture_commit.
struct CaptureOptions {
  // The agent session that made the commit, when the trigger knows it.
  std::optional<std::string> session_id{};
  // The adapter name to attribute to when no store knows `session_id`; without a
  // session id, only when that harness's own mark is on the commit (aider).
  std::optional<std::string> agent{};
  // Which trigger captures: "harness", "post_commit" or "catch_up".
  std::string source = "harness";
  // The "event" of a record written without an attestation.
  std::string event = "commit_unattested";
  // File the pending attestation for this commit when there is one.
  bool consume_pending = true;
  // The context around this process made the commit: the running harness and the
  // developer configured here may be put on record.
  bool attribute_ambient = true;
  // A search of this commit's full sha that has already read the log (a walk reads
  // it once for all its commits): it is resumed, reading only what was appended
  // since, instead of searching the whole log again.
  log::CommitSearch* search = nullptr;
};

// Records commit `sha` (any commit-ish) of `repo` once: from the pending
// attestation when there is one, else as a deterministic record attributed as far
// as it can be proven.  Never throws; refusals and failures come back in `reason`.
[[nodiscard]] BackfillResult capture_commit(const paths::RepositoryHandle& repo,
                                            const std::string& sha,
                                            const CaptureOptions& options = {});
// The same for a caller that holds no handle: opens one on `repo_root` first.
[[nodiscard]] BackfillResult capture_commit(const std::filesystem::path& repo_root,
                                            const std::string& sha,
                                            const CaptureOptions& options = {});

// The git post-commit hook's entry point: captures HEAD with `event`.  Returns
// HEAD's full sha when it is recorded (now or before), else nullopt.  Never throws.
[[nodiscard]] std::optional<std::string>
record_commit(const std::filesystem::path& repo_root,
              const std::string& event = "commit_unattested");

// Records `commit` as made in agent session `session_id` with task type
// `task_type`, attributed to whichever adapter's own store knows that session.
// Refuses (written false, `reason` set) an unknown commit, one already recorded, a
// session no store knows, and a transcript that names no model.  Errors of the
// registry, paths and log writer propagate.
[[nodiscard]] BackfillResult record_backfill(const std::filesystem::path& repo_root,
                                             const std::string& commit,
                                             const std::string& session_id,
                                             const std::string& task_type);

// The full sha of the commit `commit` names in `repo_root`, or nullopt when it
// names none (or git cannot answer).
[[nodiscard]] std::optional<std::string> _resolve_full_sha(const std::filesystem::path& repo_root,
                                                           const std::string& commit);

// Whether full sha `full` has a record: its archived attestation exists, or a
// line of the log names it.
[[nodiscard]] bool _already_recorded(const paths::RepositoryHandle& repo, const std::string& full);

// Whether a line of the log at `kolvexlog_path` is a JSON object whose "commit"
// equals `commit`.  An unreadable or missing log holds none.  Bytes that are not
// UTF-8 are read as U+FFFD rather than stopping every capture.
[[nodiscard]] bool _commit_already_logged(const std::filesystem::path& kolvexlog_path,
                                          const std::string& commit);

} // namespace kolvex::services::relaycore::capture
