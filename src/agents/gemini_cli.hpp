#pragma once

// Gemini CLI: chats under ~/.gemini/tmp/<project>/chats/, one
// "session-<time>-<first 8 characters of the id>" file per session, either one
// JSON object with a "messages" list or (recent versions) JSON lines: a header
// line, then one message per line.  A session's "projectHash" is the SHA-256 of
// its project root.

#include "agents/harness.hpp"

#include <filesystem>
#include <string_view>

namespace kolvex::agents {

// ~/.gemini/tmp, where the per-project chat directories live.
[[nodiscard]] std::filesystem::path gemini_tmp_dir();

// The telemetry map of the chat file `file` (either form): session_id, model (of
// the last "gemini" message), models, tokens (input, output, cached, thoughts,
// tool, total summed over "gemini" messages; {} without any), messages,
// tool_calls, started_at, ended_at.  nullopt when unreadable or not a chat.
[[nodiscard]] std::optional<core::Map> gemini_telemetry(const std::filesystem::path& file);

// The adapter; detected by GEMINI_CLI=1, a bare marker that names no session.  So
// the current session is the live one of the repository, by the rule of Claude
// Code's bare marker: the only chat of the repository written in the last
// LIVE_SESSION_SECONDS (or, among several, the only one waiting on a `git commit`
// call); otherwise none, and the record names gemini-cli without a session or
// telemetry rather than an old session's.
class GeminiCliAdapter final : public HarnessAdapter {
public:
  GeminiCliAdapter();
  // The live chat of `repo_root` (see above).
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
[[nodiscard]] const HarnessAdapter& gemini_cli_adapter();

} // namespace kolvex::agents
