#pragma once

// Claude Code: transcripts under $CLAUDE_CONFIG_DIR/projects (default ~/.claude),
// one "<sessionId>.jsonl" per session in a directory named after the session's
// working directory (its project key), sub-agents in
// "<sessionId>/subagents/agent-*.jsonl".  A session is found by its id in any
// project directory; the sessions of a repository are looked for only in the
// directories whose key fits the repository, and confirmed by the "cwd" its lines
// record, because the key encoding is lossy and has changed between versions.

#include "agents/harness.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::agents {

// Claude Code's per-project transcript directory for the current environment.
[[nodiscard]] std::filesystem::path claude_projects_dir();

// The project key Claude Code names a directory after for working directory
// `path`: every character outside [A-Za-z0-9] replaced by '-', one per UTF-16
// code unit.
[[nodiscard]] std::string claude_project_key(std::string_view path);

// The telemetry map of session `session_id` read from `main_files` (the session's
// own transcripts, oldest first) and `subagent_files` (see claude_telemetry_of).
// Unreadable files and bad lines are skipped.
[[nodiscard]] core::Map claude_telemetry(const std::vector<std::filesystem::path>& main_files,
                                         const std::vector<std::filesystem::path>& subagent_files,
                                         std::string_view session_id);

// The adapter; detected by CLAUDE_CODE_SESSION_ID or CLAUDECODE=1.
//
// CLAUDECODE=1 is a bare marker: Claude Code sets it in its tool calls but also in
// the IDE terminals it opens, where a person may commit by hand, and it does not
// say which session is running.  So without CLAUDE_CODE_SESSION_ID the current
// session is the one live session of this repository: the only one whose
// transcript was written in the last LIVE_SESSION_SECONDS (or, among several, the
// only one waiting on a `git commit` call).  Otherwise there is no session, and the
// record names claude-code without a session or telemetry rather than crediting an
// old or another window's session.
class ClaudeCodeAdapter final : public HarnessAdapter {
public:
  ClaudeCodeAdapter();
  // CLAUDE_CODE_SESSION_ID, else the live session of `repo_root` (see above).
  [[nodiscard]] std::optional<std::string>
  get_session_id(const std::filesystem::path& repo_root) const override;
  [[nodiscard]] std::optional<contracts::AgentTelemetry>
  get_telemetry_for_session(const std::filesystem::path& repo_root,
                            const std::optional<std::string>& session_id) const override;
  [[nodiscard]] contracts::CommitClaims
  commit_claims(const std::filesystem::path& repo_root,
                const std::vector<std::string>& shas,
                std::optional<double> since,
                const contracts::CommitTimes& commit_times) const override;
};

// The registry's instance.
[[nodiscard]] const HarnessAdapter& claude_code_adapter();

} // namespace kolvex::agents
