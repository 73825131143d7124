#pragma once

// What kolvex knows about one agent harness, in one place: its names, the files
// that show it is used in a repository, where it reads instructions, tool servers
// and skills, how to tell it is installed, and the environment it gives the
// commands it runs.  Each harness states these facts once, in its own file under
// agents/, as a Harness filled with designated initialisers; every other module
// (aliases, guidance, tool-server registration, setup, skills) reads them.

#include "agents/skills.hpp"
#include "contracts/agent_adapter.hpp"

#include <concepts>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace kolvex::agents {

// A fact a descriptor must state.  It has no default, so a descriptor that leaves
// the member out does not compile (an aggregate's omitted member is built from
// `{}`), whatever the warning flags.
template <class T> class Required {
public:
  Required() = delete;
  // Implicit on purpose: `.name = "codex"` reads as the fact itself.
  template <class U>
  requires std::constructible_from<T, U&&>
  // NOLINTNEXTLINE(google-explicit-constructor,bugprone-forwarding-reference-overload)
  constexpr Required(U&& value) : m_value(std::forward<U>(value)) {}
  constexpr const T& operator*() const { return m_value; }
  constexpr const T* operator->() const { return &m_value; }

private:
  T m_value;
};

// An environment variable the harness sets in the commands it runs.
struct EnvMarker {
  const char* name;
  // The value that marks the harness; "" for any non-empty value.
  std::string_view value;
  // Whether the value is the session id (CLAUDE_CODE_SESSION_ID) rather than a flag.
  bool names_session;
};

// Where the harness reads its instructions in a repository.
struct InstructionFile {
  // Relative to the repository root; "" when the harness has none of its own.
  std::string_view path;
  // For a harness whose instruction file the repository's own configuration names
  // (aider): finds it, or nullopt.  nullptr for the others.
  std::optional<std::filesystem::path> (*locate)(const std::filesystem::path& repo_root);
};

// How a tool-server registration file is written.
enum class ToolServerFormat {
  mcp_json,   // {"mcpServers": {"<name>": {"command", "args"}}}
  codex_toml, // [mcp_servers.<name>] with command and args
};

// The per-repository file the harness reads its tool servers from.
struct ToolServerFile {
  std::string_view path; // relative to the repository root
  ToolServerFormat format;
};

// How to tell the harness is installed on this machine: the directory an
// environment variable names, a directory under $HOME, or a program on PATH.
struct InstallProbe {
  const char* home_env;      // nullptr when the harness has no such variable
  std::string_view home_dir; // relative to $HOME; "" when not looked for
  std::string_view program;  // "" when not looked for
};

// Where the harness reads skills in a repository, and in which form.  SKILL.md
// folders are written by the harness's adapter (and may be reached by the npx
// installer); rule files by hooks::agent_guidance, for repositories that use the
// harness.
struct SkillFolder {
  std::string_view dir; // relative to the repository root
  skills::SkillFormat format;
};

// One harness.  Every member is Required: a new descriptor states every fact,
// nullopt or an empty list included, or it does not build.
struct Harness {
  // The canonical name ("claude-code"), also written as "agent" on records.
  Required<std::string_view> name;
  // The model provider, or nullopt when the harness has none fixed.
  Required<std::optional<std::string_view>> provider;
  // Other spellings normalize_agent_name maps to `name`, in the form it compares
  // them: lower case, runs of '-', '_' and blanks made one '-'.
  Required<std::span<const std::string_view>> aliases;
  // Files or directories in a repository's root that show the harness is used.
  Required<std::span<const std::string_view>> repo_markers;
  Required<InstructionFile> instruction_file;
  Required<std::optional<ToolServerFile>> tool_server;
  Required<InstallProbe> install;
  Required<std::optional<SkillFolder>> skills;
  // In the order they are tried; none for a harness that sets none.
  Required<std::span<const EnvMarker>> env_markers;
};

// Whether `harness`'s environment markers say this process runs under it.
[[nodiscard]] bool markers_present(const Harness& harness);

// The session id the first of `harness`'s session-naming markers carries, or
// nullopt (unset, empty or not a plausible id).
[[nodiscard]] std::optional<std::string> marker_session(const Harness& harness);

// Whether `harness` is installed on this machine (its InstallProbe).
[[nodiscard]] bool installed(const Harness& harness);

// Whether one of `harness`'s repository markers is in `repo_root` (a link counts
// as present and is not followed).
[[nodiscard]] bool used_in(const Harness& harness, const std::filesystem::path& repo_root);

// `harness`'s instruction file in `repo_root`, relative to it, or nullopt.
[[nodiscard]] std::optional<std::filesystem::path>
instruction_file_in(const Harness& harness, const std::filesystem::path& repo_root);

// The adapter base every harness builds on: its name, provider, detection and
// skill writing follow from its descriptor.  Session questions get an empty answer
// here; adapters of harnesses whose sessions can be read override them.
class HarnessAdapter : public contracts::AgentAdapter {
public:
  explicit HarnessAdapter(const Harness& harness) : m_harness(harness) {}

  [[nodiscard]] const Harness& harness() const { return m_harness; }

  [[nodiscard]] std::string name() const override { return std::string(*m_harness.name); }
  [[nodiscard]] std::optional<std::string> provider() const override;
  // markers_present.
  [[nodiscard]] bool is_active() const override;
  // marker_session.
  [[nodiscard]] std::optional<std::string> marker_session_id() const override;
  // Always nullopt.
  [[nodiscard]] std::optional<std::string>
  get_session_id(const std::filesystem::path& repo_root) const override;
  // Always nullopt.
  [[nodiscard]] std::optional<contracts::AgentTelemetry>
  get_telemetry_for_session(const std::filesystem::path& repo_root,
                            const std::optional<std::string>& session_id) const override;
  // For SKILL.md folders, skills::npx_reaches of the folder; false otherwise (the
  // npx installer links no rule files).
  [[nodiscard]] bool npx_covers_skills(const std::filesystem::path& repo_root) const override;
  // For SKILL.md folders, skills::write_skill_files into the folder; nothing
  // otherwise: rule files are written by hooks::agent_guidance for every repository
  // that uses the harness, and a harness without skills has nowhere to put them.
  void write_skills(const std::filesystem::path& repo_root,
                    const core::List& skills) const override;

private:
  const Harness& m_harness;
};

} // namespace kolvex::agents
