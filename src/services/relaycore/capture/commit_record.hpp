#pragma once

// The deterministic record of a commit that carries no attestation: what git says
// about the commit (author date, author, subject), the task type its subject or
// branch declares by convention, and the attribution the caller worked out.  Every
// trigger that records a commit without an attestation ends here, so the shape of
// such a record is decided in this one place.

#include "core/value.hpp"
#include "repository_handle.hpp"
#include "services/relaycore/log/commit_search.hpp"

#include <array>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace kolvex::services::relaycore::capture {

// What a capture or backfill did for one commit.  `commit` is the full sha once it
// was resolved, else the text the caller passed; `reason` says why nothing was
// written; `tokens` is true when the record carries telemetry with token counts;
// `attested` when it came from the pending attestation file.
struct BackfillResult {
  std::string commit{};
  bool written = false;
  std::string reason{};
  bool tokens = false;
  bool attested = false;
};

// The reason of a capture or backfill that found the commit recorded; callers
// compare with it.
inline constexpr std::string_view ALREADY_RECORDED = "already recorded";

// Conventional prefixes (compared lower-cased) and the task type each declares.
// The system calls this _TASK_TYPE_PREFIXES; a leading underscore before a capital
// letter is reserved in C++, hence the name (likewise for the two patterns below).
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 14> TASK_TYPE_PREFIXES{
    {{"feat", "feature"},
     {"feature", "feature"},
     {"fix", "bug-fix"},
     {"bugfix", "bug-fix"},
     {"hotfix", "bug-fix"},
     {"refactor", "refactor"},
     {"docs", "docs"},
     {"doc", "docs"},
     {"test", "test"},
     {"tests", "test"},
     {"chore", "chore"},
     {"perf", "chore"},
     {"build", "chore"},
     {"ci", "chore"}}};

// A conventional-commit subject: optional leading white space, a run of ASCII
// letters (captured), an optional "(scope)", an optional "!", then ":".  The white
// space is every character Python's str.isspace() accepts, spelled out because
// RE2's \s knows ASCII blanks only.  Case-sensitive, anchored at the start.
inline constexpr std::string_view SUBJECT_PREFIX_RE =
    R"(^[\t\n\x{0b}\f\r \x{1c}-\x{1f}\x{85}\x{a0}\x{1680}\x{2000}-\x{200a})"
    R"(\x{2028}\x{2029}\x{202f}\x{205f}\x{3000}]*([A-Za-z]+)(?:\([^)]*\))?!?:)";

// A branch named "<letters>/...": the run of ASCII letters before the first "/".
inline constexpr std::string_view BRANCH_PREFIX_RE = R"(^([A-Za-z]+)/)";

// The task type `subject` declares by its conventional prefix, else the one the
// prefix of `branch` declares, else nullopt.  Pure; never throws.
[[nodiscard]] std::optional<std::string>
infer_task_type(std::string_view subject, std::optional<std::string_view> branch = std::nullopt);

// The keyword arguments of _write_commit_record.
struct CommitRecordOptions {
  // Which trigger records: "backfill", "post_commit", "harness" or "catch_up".
  std::string source{};
  // The agent on record; "unknown" when nothing could be proven.
  std::string agent_name{};
  std::optional<std::string> agent_provider{};
  std::optional<std::string> session_id{};
  // The session's telemetry; the record carries a copy with "session_id" added.
  std::optional<core::Map> telemetry{};
  // A declared task type; when empty one is inferred from subject and `branch`.
  std::optional<std::string> task_type{};
  // Move the live ledger segment next to the record (false for past commits).
  bool archive_ledger = true;
  // The branch the commit was made on, for the inference only.
  std::optional<std::string> branch{};
  // The developer identity map, used as given unless `developer_from_commit`.
  std::optional<core::Map> developer{};
  // Take the developer from the commit's own author instead.
  bool developer_from_commit = false;
  // The "event" the log line carries (absent or empty: none).
  std::optional<std::string> event{};
  // The record of the commit this one was cherry-picked from, with the same patch
  // (cherry_pick_source); the archive keeps it whole, the line names its commit.
  std::optional<core::Map> cherry_picked_from{};
  // When given: under the log lock, write nothing if this search (of the commit)
  // finds the log names it; the result is then "already recorded".
  log::CommitSearch* skip_if_logged = nullptr;
  // The branch lookup answers HEAD's branch, which the log line records too: an
  // answer it gave is not asked of git again.
  bool branch_is_head = false;
  // git's metadata of the commit (log::_commit_metadata) when the caller has it
  // already; asked of git otherwise.
  std::optional<std::string> metadata{};
};

// Writes the deterministic record of `commit` (a full sha) in `repo`: its
// archived attestation and one unsynced log line.  Checks whether the commit is
// already recorded only through `skip_if_logged`.  A git that cannot answer leaves
// "timestamp" and "summary" empty.  Errors of the log writer propagate.
BackfillResult _write_commit_record(const paths::RepositoryHandle& repo,
                                    const std::string& commit,
                                    CommitRecordOptions options);

// Answers the branch a commit was made on, asked only when needed.
using BranchLookup = std::function<std::optional<std::string>()>;

// _write_commit_record with the branch for the inference asked of `branch_of`, and
// only when the subject declares no task type itself (`options.branch` is then
// ignored): the post-commit hook need not pay for a git call it does not use.
BackfillResult write_commit_record_with(const paths::RepositoryHandle& repo,
                                        const std::string& commit,
                                        CommitRecordOptions options,
                                        const BranchLookup& branch_of);

} // namespace kolvex::services::relaycore::capture
