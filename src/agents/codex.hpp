#pragma once

// Codex CLI: one rollout file per session under $CODEX_HOME/sessions/YYYY/MM/DD/
// ("rollout-<timestamp>-<session id>.jsonl", CODEX_HOME defaulting to ~/.codex),
// old ones possibly moved to $CODEX_HOME/archived_sessions/.

#include "agents/harness.hpp"

#include <filesystem>
#include <string_view>

namespace kolvex::agents {

// $CODEX_HOME, or ~/.codex.
[[nodiscard]] std::filesystem::path codex_home();

// The telemetry map of the rollout `file`: session_id (the session_meta id, else
// `session_id`), model (the last turn_context model), models, tokens (input,
// cached_input, output, reasoning_output, total from the last cumulative
// token_count; {} without one), messages, tool_calls, started_at, ended_at.
// nullopt when the file cannot be read.
[[nodiscard]] std::optional<core::Map> codex_telemetry(const std::filesystem::path& file,
                                                       std::string_view session_id);

// The adapter; detected by CODEX_THREAD_ID, a marker that names its session.
// Without it (the adapter asked about a repository from outside Codex), the
// current session is the live one of the repository by the same rule as Claude
// Code's bare marker: the only rollout of the repository written in the last
// LIVE_SESSION_SECONDS, else none.
class CodexAdapter final : public HarnessAdapter {
public:
  CodexAdapter();
  // CODEX_THREAD_ID, else the live rollout whose session_meta cwd is in
  // `repo_root`.
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
[[nodiscard]] const HarnessAdapter& codex_adapter();

} // namespace kolvex::agents
