#include "services/mcp_registration.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "support/judges.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

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
  // A server of the user's own under our name is not overwritten.
  EXPECT_THROW((void)merge_json_registration(R"({"mcpServers": {"kolvex": {"command": "old"}}})"),
               NameTakenError);
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

// Whatever form mcp_servers takes, kolvex joins it in that form and the file stays
// TOML that tomllib reads, with the user's servers and every other byte kept.
struct CodexCase {
  const char* name;
  std::string text;
  std::string expected;
};

class CodexForms : public ::testing::TestWithParam<CodexCase> {};

TEST_P(CodexForms, MergedFileIsValidTomlWithBothServers)
{
  const auto merged = merge_codex_registration(GetParam().text);
  ASSERT_TRUE(merged);
  EXPECT_EQ(*merged, GetParam().expected);
  const auto read = testing::toml_as_json(*merged);
  ASSERT_TRUE(read) << *merged;
  EXPECT_NE(read->find(R"("kolvex": {"args": ["mcp"], "command": "kolvex"})"), std::string::npos)
      << *read;
  EXPECT_NE(read->find(R"("other": {"command": "x"})"), std::string::npos) << *read;
  EXPECT_FALSE(merge_codex_registration(*merged));
}

const std::string k_entry_inline = R"(kolvex = { command = "kolvex", args = ["mcp"] })";
const std::string k_table = "[mcp_servers.kolvex]\ncommand = \"kolvex\"\nargs = [\"mcp\"]\n";

INSTANTIATE_TEST_SUITE_P(
    McpRegistration,
    CodexForms,
    ::testing::Values(
        CodexCase{"InlineTable",
                  "mcp_servers = { other = { command = \"x\" } }  # mine\n",
                  "mcp_servers = { other = { command = \"x\" }, " + k_entry_inline +
                      " }  # mine\n"},
        CodexCase{"DottedKeysBeforeATable",
                  "mcp_servers.other.command = \"x\"\n\n[profile]\nmodel = \"o3\"\n",
                  "mcp_servers.other.command = \"x\"\nmcp_servers.kolvex.command = \"kolvex\"\n"
                  "mcp_servers.kolvex.args = [\"mcp\"]\n\n[profile]\nmodel = \"o3\"\n"},
        CodexCase{"ServersTable",
                  "[mcp_servers]\nother = { command = \"x\" }",
                  "[mcp_servers]\nother = { command = \"x\" }\n\n" + k_table},
        CodexCase{"ServerTablesWithCrlf",
                  "[mcp_servers.other]\r\ncommand = \"x\"\r\n",
                  "[mcp_servers.other]\r\ncommand = \"x\"\r\n\r\n[mcp_servers.kolvex]\r\n"
                  "command = \"kolvex\"\r\nargs = [\"mcp\"]\r\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A file kolvex cannot merge into is left byte for byte, and the user is told
// what to add; so is a JSON file with a server of the user's own named kolvex.
TEST(McpRegistration, FilesItCannotMergeAreLeftWithAWarning)
{
  struct Case {
    const char* agent;
    const char* file;
    std::string text;
    McpAction action;
  };
  const std::vector<Case> cases{
      {"codex", ".codex/config.toml", "[mcp_servers.db\ncommand = \"pg\"\n", McpAction::failed},
      {"codex", ".codex/config.toml", "[[mcp_servers]]\nname = \"db\"\n", McpAction::failed},
      {"codex", ".codex/config.toml", "mcp_servers = \"none\"\n", McpAction::failed},
      {"claude-code", ".mcp.json", "{\n  // mine\n  \"mcpServers\": {}\n}\n", McpAction::failed},
      {"claude-code", ".mcp.json", "{\"mcpServers\": {\"a\": {},}}", McpAction::failed},
      {"claude-code", ".mcp.json", "{\"mcpServers\": []}", McpAction::failed},
      {"claude-code",
       ".mcp.json",
       "{\"mcpServers\": {\"kolvex\": {\"command\": \"node\", \"args\": [\"my-kolvex.js\"]}}}",
       McpAction::name_taken},
  };
  for (const Case& c : cases) {
    testing::TempDir repo;
    repo.write(c.file, c.text);
    const auto changes = install_mcp_for_agents(repo.path(), std::vector<std::string>{c.agent});
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].action, c.action) << c.text;
    EXPECT_EQ(repo.read(c.file), c.text);
    EXPECT_NE(changes[0].error.find(std::string("Left ") + c.file + " as it is"), std::string::npos)
        << changes[0].error;
  }
}

// A file holding a server's token may be the user's private one: registering
// keeps its mode, and a new file is readable as any project file is.
TEST(McpRegistration, RegisteringKeepsEachFilesMode)
{
  testing::TempDir repo;
  for (const char* file :
       {".mcp.json", ".gemini/settings.json", ".cursor/mcp.json", ".codex/config.toml"}) {
    repo.write(file, "");
    ASSERT_EQ(::chmod((repo.path() / file).c_str(), 0600), 0);
  }
  const auto changes = install_mcp_for_agents(
      repo.path(), std::vector<std::string>{"claude-code", "gemini-cli", "cursor", "codex"});
  ASSERT_EQ(changes.size(), 4u);
  for (const auto& change : changes) {
    EXPECT_EQ(change.action, McpAction::added) << change.file;
    EXPECT_FALSE(change.created);
    struct stat st {};
    ASSERT_EQ(::stat(change.file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u) << change.file;
  }
  testing::TempDir fresh;
  const auto created = install_mcp_for_agents(fresh.path(), std::vector<std::string>{"claude"});
  EXPECT_TRUE(created.at(0).created);
  struct stat st {};
  ASSERT_EQ(::stat((fresh.path() / ".mcp.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

} // namespace
} // namespace kolvex::services::mcp_registration
