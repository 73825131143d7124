#include "services/mcp_registration.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

namespace kolvex::services::mcp_registration {
namespace {

namespace stdfs = std::filesystem;

TEST(McpRegistration, JsonMergeKeepsTheUsersServersAndIsIdempotent)
{
  const std::string users =
      R"({"theme": "dark", "mcpServers": {"db": {"command": "pg-mcp", "args": []}}})";
  const auto merged = merge_json_registration(users);
  ASSERT_TRUE(merged);
  const core::Value parsed = core::json::parse(*merged);
  EXPECT_EQ(*parsed.get("theme"), core::Value("dark"));
  EXPECT_EQ(*parsed.get("mcpServers")->get("db")->get("command"), core::Value("pg-mcp"));
  EXPECT_EQ(*parsed.get("mcpServers")->get("kolvex")->get("args"), core::Value(core::List{"mcp"}));
  EXPECT_EQ(parsed.get("mcpServers")->as_map().begin()->first, "db"); // order kept
  EXPECT_FALSE(merge_json_registration(*merged));

  // An entry the user pointed at another kolvex binary is theirs to keep.
  EXPECT_FALSE(merge_json_registration(
      R"({"mcpServers": {"kolvex": {"command": "/opt/kolvex/bin/kolvex", "args": ["mcp"], "env": {"A": "1"}}}})"));
  // A broken entry under our name is replaced.
  EXPECT_TRUE(merge_json_registration(R"({"mcpServers": {"kolvex": {"command": "old"}}})"));
  EXPECT_TRUE(merge_json_registration(""));
  for (const char* bad : {"[]", "{\"mcpServers\": []}", "{\"mcpServers\": \"x\"}", "{nope"}) {
    EXPECT_ANY_THROW((void)merge_json_registration(bad)) << bad;
  }
}

TEST(McpRegistration, CodexTomlGetsOneTableAndKeepsEveryOtherByte)
{
  const std::string users = "model = \"o3\"  # mine\n\n[mcp_servers.db]\ncommand = \"pg\"\n"
                            "args = [\"--ro\"]";
  const auto merged = merge_codex_registration(users);
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->substr(0, users.size()), users);
  EXPECT_EQ(merged->substr(users.size()),
            "\n\n[mcp_servers.kolvex]\ncommand = \"kolvex\"\nargs = [\"mcp\"]\n");
  EXPECT_FALSE(merge_codex_registration(*merged));
  for (const char* present : {"[mcp_servers.kolvex]\ncommand = \"/x/kolvex\"\n",
                              "[ mcp_servers . \"kolvex\" ] # quoted\n",
                              "[mcp_servers.kolvex.env]\nA = \"1\"\n",
                              "[mcp_servers]\nkolvex = { command = \"kolvex\" }\n",
                              "mcp_servers.kolvex.command = \"kolvex\"\n",
                              "mcp_servers = { kolvex = { command = \"kolvex\" } }\n"}) {
    EXPECT_FALSE(merge_codex_registration(present)) << present;
  }
  EXPECT_EQ(merge_codex_registration(""),
            "[mcp_servers.kolvex]\ncommand = \"kolvex\"\nargs = [\"mcp\"]\n");
  // A comment naming the table is not the table.
  EXPECT_TRUE(merge_codex_registration("# [mcp_servers.kolvex] was here\n"));
}

TEST(McpRegistration, InstallWritesOnlyWhatChangesAndRefusesLinks)
{
  testing::TempDir repo;
  testing::TempDir outside;
  repo.write(".cursor/mcp.json", R"({"mcpServers": {"mine": {"command": "x", "args": []}}})");
  stdfs::create_directories(repo.path() / ".gemini");
  outside.write("settings.json", "{}");
  stdfs::create_symlink(outside.path() / "settings.json",
                        repo.path() / ".gemini" / "settings.json");

  const auto changes = install_mcp_for_agents(
      repo.path(),
      std::vector<std::string>{"claude", "cursor", "gemini-cli", "codex", "aider", "cursor"});
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_EQ(changes[0].agent, "claude-code");
  EXPECT_EQ(changes[0].action, McpAction::added);
  EXPECT_EQ(changes[1].action, McpAction::added);
  EXPECT_EQ(changes[2].action, McpAction::failed); // a link: not followed
  EXPECT_EQ(changes[3].action, McpAction::added);
  EXPECT_EQ(outside.read("settings.json"), "{}");
  EXPECT_NE(repo.read(".cursor/mcp.json").find("\"mine\""), std::string::npos);
  EXPECT_NE(repo.read(".codex/config.toml").find("[mcp_servers.kolvex]"), std::string::npos);

  const auto before = stdfs::last_write_time(repo.path() / ".mcp.json");
  const auto again =
      install_mcp_for_agents(repo.path(), std::vector<std::string>{"claude-code", "codex"});
  EXPECT_EQ(again[0].action, McpAction::already_present);
  EXPECT_EQ(again[1].action, McpAction::already_present);
  EXPECT_EQ(stdfs::last_write_time(repo.path() / ".mcp.json"), before);
  EXPECT_TRUE(install_mcp_for_agents(repo.path(), std::nullopt).empty());
}

} // namespace
} // namespace kolvex::services::mcp_registration
