#pragma once

// The row an agent harness (Claude Code's user-level PostToolUse hook) runs after
// every tool call: `kolvex attest add --from-hook`.  It picks out the shell calls
// that ran `git commit`, records HEAD for the agent session that made it (or takes
// the commit the git hook recorded inside that session), uploads within a hard
// budget, and tells the agent once when that commit went in without an
// attestation.  It runs after every shell call an agent makes, so a call that
// is not a commit costs no git process and no file read, and it is fail-open: it
// never blocks the agent, prints nothing but its one message, and exits 0.

#include "core/value.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::commands::attest {

// Searched anywhere in the command text: `git add . && git commit -m x` and
// `git -C sub commit` qualify.  The system calls it _GIT_COMMIT_RE; a leading
// underscore before a capital letter is reserved in C++ (likewise below).
inline constexpr std::string_view GIT_COMMIT_RE = R"(\bgit\b.*\bcommit\b)";
// How recent HEAD's commit must be, in seconds, for the row to capture it.
inline constexpr long long FRESH_HEAD_SECONDS = 1800;
// The hard network budget of the row's upload, in seconds.
inline constexpr double HOOK_UPLOAD_BUDGET = 5.0;

// The whole row: reads the payload from stdin, and prints at most one line of JSON
// on stdout.  `agent` is the "--agent" the row was installed with.  Never throws an
// ordinary error.
void _add_from_hook(const std::optional<std::string>& agent);

// The row for payload `payload` (any JSON value), without stdin and stdout: the
// line to print (without its newline), or nullopt for none.  Never throws an
// ordinary error.
[[nodiscard]] std::optional<std::string> _hook_row(const core::Value& payload,
                                                   const std::optional<std::string>& agent);

// Whether `payload` is a clean Bash call whose command names a git commit: a JSON
// object, "tool_name" exactly "Bash", a text "tool_input.command" in which
// GIT_COMMIT_RE finds a match, and not _tool_failed.  Pure: no file, no process.
[[nodiscard]] bool _is_commit_call(const core::Value& payload);

// Whether the raw payload text `input` may be a call whose command names a git
// commit: false only when it certainly is not (no "commit" anywhere, or a JSON
// document none of whose "tool_input" "command" texts holds "git" and "commit"),
// so that the row can skip building the payload.
[[nodiscard]] bool _may_name_commit(const std::string& input);

// Whether the payload says the tool call did not complete cleanly: its
// "tool_response" has "interrupted" true (the boolean itself), or a non-zero JSON
// integer under "exit_code" or "exitCode".  Absent fields say nothing.
[[nodiscard]] bool _tool_failed(const core::Value& payload);

// The nearest of `start` and its ancestors that has an entry ".git" (a directory,
// or a file as in a linked worktree); nullopt when none has.  `start` is used as
// given: neither made absolute nor resolved.
[[nodiscard]] std::optional<std::filesystem::path>
_repo_root_for(const std::filesystem::path& start);

// Whether HEAD of `repo_root` was committed within the last FRESH_HEAD_SECONDS
// (a commit time in the future is not fresh).  False when git cannot say.
[[nodiscard]] bool _head_is_fresh(const std::filesystem::path& repo_root);

// The freshness rule itself: `committed` (Unix seconds) is fresh at `now` when
// 0 <= now - committed <= FRESH_HEAD_SECONDS.
[[nodiscard]] bool _is_fresh(long long committed, double now);

// Uploads `repo_root`'s unsent records when a project and credentials resolve from
// disk, within HOOK_UPLOAD_BUDGET seconds of network time.  Swallows every
// ordinary failure, without a word to the user.
void _upload_best_effort(const std::filesystem::path& repo_root);

// The line telling the agent that commit `sha` was recorded without an
// attestation and how to attach one, in Claude Code's PostToolUse output shape.
[[nodiscard]] std::optional<std::string> _nudge(const std::string& sha);

// The message of _nudge for `sha` (its first 7 characters shown, twice).
[[nodiscard]] std::string _nudge_text(const std::string& sha);

} // namespace kolvex::commands::attest
