#include "support/repo.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kolvex::testing::TempDir;
using ::testing::HasSubstr;

struct LayerCase {
  const char* name;
  const char* file;     // the file that includes
  const char* included; // the file it includes (created beside it)
  const char* reported; // what the check says ("" for nothing)
};

// Runs scripts/check-layers on a src/ tree of two files: `file` including `included`.
kolvex::core::process::Result check(const TempDir& dir, const LayerCase& row)
{
  (void)dir.write(std::string("src/") + row.included, "#pragma once\n");
  (void)dir.write(std::string("src/") + row.file,
                  std::string("#include \"") + row.included + "\"\n");
  return kolvex::testing::run(
      {std::string(KOLVEX_SOURCE_DIR) + "/scripts/check-layers", (dir.path() / "src").string()},
      dir.path());
}

TEST(CheckLayers, ReportsEveryIncludeThatBreaksTheOrder)
{
  const std::vector<LayerCase> rows{
      {"down", "services/relaycore/sync/a.cpp", "hooks/installer.hpp", ""},
      {"same layer", "services/local_config.cpp", "services/repository.hpp", ""},
      {"up", "services/a.cpp", "services/relaycore/log/git.hpp", "services includes relaycore"},
      {"up from core", "core/fs.cpp", "paths.hpp", "core includes paths"},
      {"between peers", "utils/filelock.cpp", "paths.hpp", "utils includes paths"},
      {"command to command", "commands/mcp.cpp", "commands/sync.hpp", "includes another one"},
      {"into the attest group",
       "commands/sync.cpp",
       "commands/attest/hook_row.hpp",
       "includes another one"},
      {"within the attest group", "commands/attest/attest.cpp", "commands/attest/help.hpp", ""},
      {"command to frontend", "commands/mcp.cpp", "frontend/perform_sync.hpp", ""},
      {"outside every layer", "extra/a.cpp", "core/fs.hpp", "in no layer"},
  };
  for (const auto& row : rows) {
    TempDir dir;
    const auto result = check(dir, row);
    if (std::string(row.reported).empty()) {
      EXPECT_EQ(result.exit_code, 0) << row.name << ": " << result.out << result.err;
      EXPECT_EQ(result.out, "") << row.name;
    } else {
      EXPECT_EQ(result.exit_code, 1) << row.name << ": " << result.err;
      EXPECT_THAT(result.out, HasSubstr(row.reported)) << row.name;
      EXPECT_THAT(result.out, HasSubstr(row.file)) << row.name;
    }
  }
}

} // namespace
