#include "agents/windsurf.hpp"

namespace kolvex::agents {

namespace {

constexpr std::string_view k_repo_markers[] = {".windsurf", ".windsurfrules"};
constexpr Harness k_windsurf{
    .name = "windsurf",
    .provider = std::nullopt,
    .aliases = std::span<const std::string_view>(),
    .repo_markers = k_repo_markers,
    .instruction_file = InstructionFile{.path = "", .locate = nullptr},
    .tool_server = std::nullopt,
    .install = InstallProbe{.home_env = nullptr, .home_dir = ".codeium/windsurf", .program = ""},
    .skills = SkillFolder{.dir = ".windsurf/rules", .format = skills::SkillFormat::windsurf_md},
    .env_markers = std::span<const EnvMarker>(),
};

} // namespace

const HarnessAdapter& windsurf_adapter()
{
  static const HarnessAdapter adapter(k_windsurf);
  return adapter;
}

} // namespace kolvex::agents
