#include "agents/cursor.hpp"

namespace kolvex::agents {

namespace {

constexpr std::string_view k_aliases[] = {"cursor-agent", "cursor-cli"};
constexpr std::string_view k_repo_markers[] = {".cursor", ".cursorrules"};
constexpr EnvMarker k_env_markers[] = {
    {.name = "CURSOR_AGENT", .value = "1", .names_session = false},
    {.name = "CURSOR_EXTENSION_HOST_ROLE", .value = "agent-exec", .names_session = false},
};
constexpr Harness k_cursor{
    .name = "cursor",
    .provider = std::nullopt,
    .aliases = k_aliases,
    .repo_markers = k_repo_markers,
    .instruction_file = InstructionFile{.path = "AGENTS.md", .locate = nullptr},
    .tool_server = ToolServerFile{.path = ".cursor/mcp.json", .format = ToolServerFormat::mcp_json},
    .install = InstallProbe{.home_env = nullptr, .home_dir = ".cursor", .program = ""},
    .skills = SkillFolder{.dir = ".cursor/rules", .format = skills::SkillFormat::cursor_mdc},
    .env_markers = k_env_markers,
};

} // namespace

const HarnessAdapter& cursor_adapter()
{
  static const HarnessAdapter adapter(k_cursor);
  return adapter;
}

} // namespace kolvex::agents
