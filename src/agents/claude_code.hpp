#pragma once

// Claude Code: transcripts under $CLAUDE_CONFIG_DIR/projects (default ~/.claude),
// one "<sessionId>.jsonl" per session in a directory named after the session's
// working directory, sub-agents in "<sessionId>/subagents/agent-*.jsonl".  The
// directory name encoding is lossy and has changed between versions, so sessions
// are found by id and repositories by the "cwd" recorded in the lines.

#include "contracts/agent_adapter.hpp"

#include <filesystem>
#include <string_view>
#include <vector>

namespace kolvex::agents {

// Claude Code's per-project transcript directory for the current environment.
[[nodiscard]] std::filesystem::path claude_projects_dir();

// The telemetry map of session `session_id` read from `main_files` (the session's
// own transcripts, oldest first) and `subagent_files`: session_id, model (the last
// real model of the main transcripts), models (first use first), tokens (input,
// output, cache_creation, cache_read, total; each API response counted once, also
// across files; {} without usage), messages, tool_calls, started_at, ended_at.
// Unreadable files and bad lines are skipped.
[[nodiscard]] core::Map claude_telemetry(const std::vector<std::filesystem::path>& main_files,
                                         const std::vector<std::filesystem::path>& subagent_files,
                                         std::string_view session_id);

// The adapter; detected by CLAUDE_CODE_SESSION_ID or CLAUDECODE=1.
class ClaudeCodeAdapter final : public contracts::AgentAdapter {
public:
  [[nodiscard]] std::string name() const override { return "claude-code"; }
  [[nodiscard]] std::optional<std::string> provider() const override { return "anthropic"; }
  [[nodiscard]] bool is_active() const override;
  // CLAUDE_CODE_SESSION_ID, else the most recently written transcript whose lines
  // record a cwd in `repo_root`.
  [[nodiscard]] std::optional<std::string>
  get_session_id(const std::filesystem::path& repo_root) const override;
  [[nodiscard]] std::optional<contracts::AgentTelemetry>
  get_telemetry_for_session(const std::filesystem::path& repo_root,
                            const std::optional<std::string>& session_id) const override;
  [[nodiscard]] contracts::SessionMatches
  sessions_mentioning(const std::filesystem::path& repo_root,
                      const std::vector<std::string>& shas,
                      std::optional<double> since,
                      const contracts::CommitTimes& commit_times) const override;
  // Skills live in .claude/skills/<slug>/SKILL.md.
  [[nodiscard]] bool npx_covers_skills(const std::filesystem::path& repo_root) const override;
  void write_skills(const std::filesystem::path& repo_root,
                    const core::List& skills) const override;
};

} // namespace kolvex::agents
