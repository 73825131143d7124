#pragma once

// Harnesses whose sessions cannot be read: Cursor keeps its history in a database
// that also holds credentials (never read), Windsurf's is encrypted, aider writes
// no session at all (aider.hpp).  They have a name and, where a marker exists,
// detection; every session question gets an empty answer rather than an error.

#include "contracts/agent_adapter.hpp"

namespace kolvex::agents {

// Common base: no session id, no telemetry, no sessions.
class SessionlessAdapter : public contracts::AgentAdapter {
public:
  [[nodiscard]] std::optional<std::string> provider() const override { return std::nullopt; }
  // Always nullopt.
  [[nodiscard]] std::optional<std::string>
  get_session_id(const std::filesystem::path& repo_root) const override;
  // Always nullopt.
  [[nodiscard]] std::optional<contracts::AgentTelemetry>
  get_telemetry_for_session(const std::filesystem::path& repo_root,
                            const std::optional<std::string>& session_id) const override;
  // Always empty.
  [[nodiscard]] contracts::SessionMatches
  sessions_mentioning(const std::filesystem::path& repo_root,
                      const std::vector<std::string>& shas,
                      std::optional<double> since,
                      const contracts::CommitTimes& commit_times) const override;
  // False: the npx installer links no skill folder these harnesses read.
  [[nodiscard]] bool npx_covers_skills(const std::filesystem::path& repo_root) const override;
  // Nothing: Cursor's and Windsurf's rule files are written for every repository by
  // hooks::agent_guidance, and aider has no skills.
  void write_skills(const std::filesystem::path& repo_root,
                    const core::List& skills) const override;
};

// Cursor; detected by CURSOR_AGENT=1 or CURSOR_EXTENSION_HOST_ROLE=agent-exec
// (CURSOR_TRACE_ID is in every Cursor terminal and proves nothing).  Both are bare
// markers and no session can be read, so a commit under them names cursor without
// a session or telemetry.
class CursorAdapter final : public SessionlessAdapter {
public:
  [[nodiscard]] std::string name() const override { return "cursor"; }
  [[nodiscard]] bool is_active() const override;
};

// Windsurf; it sets no known environment marker, so it is never detected.
class WindsurfAdapter final : public SessionlessAdapter {
public:
  [[nodiscard]] std::string name() const override { return "windsurf"; }
  [[nodiscard]] bool is_active() const override { return false; }
};

} // namespace kolvex::agents
