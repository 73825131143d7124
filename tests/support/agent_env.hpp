#pragma once

// Test helpers for the adapters: an isolated environment (temporary HOME,
// CLAUDE_CONFIG_DIR and CODEX_HOME, no harness markers) and builders for the
// lines each harness writes.  The environment is restored when the AgentEnv goes.

#include "agents/registry.hpp"
#include "core/json.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <sys/stat.h>
#include <sys/time.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kolvex::testing {

// Unsets every environment marker of every harness the registry knows, and
// CURSOR_TRACE_ID, which is in every Cursor terminal and marks nothing.
inline void unset_harness_markers(ScopedEnv& env)
{
  for (const agents::Harness* harness : agents::harnesses()) {
    for (const agents::EnvMarker& marker : *harness->env_markers) {
      env.unset(marker.name);
    }
  }
  env.unset("CURSOR_TRACE_ID");
}

// No harness markers, a temporary HOME, no system git configuration: what a
// capture finds is what the test put there.
inline void isolate_environment(ScopedEnv& env, const TempDir& home)
{
  unset_harness_markers(env);
  for (const char* name : {"KOLVEX_DEBUG",
                           "GIT_AUTHOR_NAME",
                           "GIT_AUTHOR_EMAIL",
                           "GIT_AUTHOR_DATE",
                           "GIT_COMMITTER_DATE"}) {
    env.unset(name);
  }
  env.set("HOME", home.path().string());
  env.set("XDG_CONFIG_HOME", (home.path() / ".config").string());
  env.set("CLAUDE_CONFIG_DIR", (home.path() / "claude").string());
  env.set("CODEX_HOME", (home.path() / "codex").string());
  env.set("GIT_CONFIG_NOSYSTEM", "1");
}

// A temporary home for every harness, with every harness marker removed.
class AgentEnv {
public:
  AgentEnv()
  {
    unset_harness_markers(m_env);
    m_env.set("HOME", home().string());
    m_env.set("CLAUDE_CONFIG_DIR", claude_dir().string());
    m_env.set("CODEX_HOME", codex_dir().string());
  }

  [[nodiscard]] stdfs::path home() const { return m_dir.path() / "home"; }
  [[nodiscard]] stdfs::path claude_dir() const { return m_dir.path() / "claude"; }
  [[nodiscard]] stdfs::path codex_dir() const { return m_dir.path() / "codex"; }
  [[nodiscard]] const TempDir& dir() const { return m_dir; }
  // Further changes to the environment, undone with the others.
  [[nodiscard]] ScopedEnv& env() { return m_env; }

  // Writes a Claude Code transcript of `session_id` under the project directory
  // `project_key`; returns its path.
  stdfs::path write_claude(const std::string& project_key,
                           const std::string& session_id,
                           const std::vector<std::string>& lines) const
  {
    return m_dir.write(stdfs::path("claude") / "projects" / project_key / (session_id + ".jsonl"),
                       join_lines(lines));
  }

  // Writes a Codex rollout for `session_id` in the date directory `day`
  // ("YYYY/MM/DD"); returns its path.
  stdfs::path write_codex(const std::string& session_id,
                          const std::vector<std::string>& lines,
                          const std::string& day = "2026/01/02") const
  {
    return m_dir.write(stdfs::path("codex") / "sessions" / day /
                           ("rollout-2026-01-02T03-04-05-" + session_id + ".jsonl"),
                       join_lines(lines));
  }

  static std::string join_lines(const std::vector<std::string>& lines)
  {
    std::string text;
    for (const auto& line : lines) {
      text += line + "\n";
    }
    return text;
  }

private:
  TempDir m_dir;
  ScopedEnv m_env;
};

// Sets the modification time of `path` to `epoch` seconds.
inline void set_mtime(const stdfs::path& path, double epoch)
{
  struct timeval times[2];
  times[0].tv_sec = static_cast<time_t>(epoch);
  times[0].tv_usec = 0;
  times[1] = times[0];
  ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

// One JSON line from a Value.
inline std::string line_of(const core::Value& value)
{
  return core::json::dump(value);
}

// Token usage of a Claude Code response.
struct ClaudeUsage {
  long long input = 0;
  long long output = 0;
  long long cache_creation = 0;
  long long cache_read = 0;
};

inline core::Value claude_usage(const ClaudeUsage& u)
{
  return core::Map{{"input_tokens", u.input},
                   {"output_tokens", u.output},
                   {"cache_creation_input_tokens", u.cache_creation},
                   {"cache_read_input_tokens", u.cache_read}};
}

// A Claude Code user line whose content is `content` (text or a list of blocks).
inline std::string claude_user(const std::string& session_id,
                               const std::string& cwd,
                               const std::string& uuid,
                               const std::string& timestamp,
                               core::Value content)
{
  return line_of(
      core::Map{{"parentUuid", nullptr},
                {"isSidechain", false},
                {"type", "user"},
                {"message", core::Map{{"role", "user"}, {"content", std::move(content)}}},
                {"uuid", uuid},
                {"timestamp", timestamp},
                {"cwd", cwd},
                {"sessionId", session_id}});
}

// A Claude Code assistant line of response `message_id` / `request_id`.
inline std::string claude_assistant(const std::string& session_id,
                                    const std::string& cwd,
                                    const std::string& uuid,
                                    const std::string& timestamp,
                                    const std::string& message_id,
                                    const std::string& request_id,
                                    const std::string& model,
                                    const ClaudeUsage& usage,
                                    core::List content)
{
  return line_of(core::Map{{"parentUuid", nullptr},
                           {"type", "assistant"},
                           {"message",
                            core::Map{{"model", model},
                                      {"id", message_id},
                                      {"type", "message"},
                                      {"role", "assistant"},
                                      {"content", std::move(content)},
                                      {"usage", claude_usage(usage)}}},
                           {"requestId", request_id},
                           {"uuid", uuid},
                           {"timestamp", timestamp},
                           {"cwd", cwd},
                           {"sessionId", session_id}});
}

inline core::Value claude_text(const std::string& text)
{
  return core::Map{{"type", "text"}, {"text", text}};
}

inline core::Value claude_bash(const std::string& id, const std::string& command)
{
  return core::Map{{"type", "tool_use"},
                   {"id", id},
                   {"name", "Bash"},
                   {"input", core::Map{{"command", command}, {"description", "run"}}}};
}

inline core::Value claude_result(const std::string& tool_use_id, const std::string& output)
{
  return core::List{core::Map{{"type", "tool_result"},
                              {"tool_use_id", tool_use_id},
                              {"content", output},
                              {"is_error", false}}};
}

} // namespace kolvex::testing
