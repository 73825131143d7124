#include "hooks/user_hooks.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "support/agent_env.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace kolvex::hooks::user_hooks {
namespace {

using core::Value;
using testing::AgentEnv;
namespace stdfs = std::filesystem;

const std::string k_ours = std::string(CLAUDE_SESSION_START_COMMAND);

mode_t mode_of(const stdfs::path& p)
{
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0);
  return st.st_mode & 07777;
}

// The "command" of every hook under hooks.SessionStart, in file order.
std::vector<std::string> session_start_commands(const Value& settings)
{
  std::vector<std::string> commands;
  for (const auto& group : settings.get("hooks")->get("SessionStart")->as_list()) {
    for (const auto& hook : group.get("hooks")->as_list()) {
      commands.push_back(*hook.get_string("command"));
    }
  }
  return commands;
}

Value read_json(const stdfs::path& p)
{
  return core::json::parse(core::fs::read_text(p));
}

TEST(UserHooks, SettingsPathFollowsClaudeConfigDirElseHome)
{
  AgentEnv env;
  EXPECT_EQ(claude_settings_path(), env.claude_dir() / "settings.json");
  env.env().set("CLAUDE_CONFIG_DIR", "");
  EXPECT_EQ(claude_settings_path(), env.home() / ".claude" / "settings.json");
}

TEST(UserHooks, MissingSettingsFileIsCreatedWithOnlyOurHook)
{
  AgentEnv env;
  const auto settings = claude_settings_path();
  const auto change = install_claude_session_start_hook(settings);
  EXPECT_EQ(change.action, UserHookAction::added) << change.error;
  EXPECT_TRUE(change.created);
  EXPECT_EQ(change.agent, "claude-code");
  EXPECT_EQ(core::fs::read_text(settings),
            "{\n"
            "  \"hooks\": {\n"
            "    \"SessionStart\": [\n"
            "      {\n"
            "        \"hooks\": [\n"
            "          {\n"
            "            \"type\": \"command\",\n"
            "            \"command\": \"kolvex session-start --agent claude-code\",\n"
            "            \"timeout\": 60\n"
            "          }\n"
            "        ]\n"
            "      }\n"
            "    ]\n"
            "  }\n"
            "}\n");
  EXPECT_NE(change.message().find(settings.string()), std::string::npos);
}

TEST(UserHooks, UserHooksAndKeysAreKeptInOrderAndPermissionsKept)
{
  AgentEnv env;
  const auto settings = env.dir().write(
      "claude/settings.json",
      R"({"model": "opus", "hooks": {"PostToolUse": [{"matcher": "Bash", "hooks": [)"
      R"({"type": "command", "command": "my-linter"}]}], "SessionStart": [{"matcher": "startup",)"
      R"( "hooks": [{"type": "command", "command": "echo hi"}]}]}, "theme": "dark \u00e9"})");
  ::chmod(settings.c_str(), 0640);
  const auto change = install_claude_session_start_hook(settings);
  ASSERT_EQ(change.action, UserHookAction::added) << change.error;
  EXPECT_FALSE(change.created);
  EXPECT_EQ(mode_of(settings), 0640U);

  const auto merged = read_json(settings);
  std::vector<std::string> keys;
  for (const auto& [key, value] : merged.as_map()) {
    keys.push_back(key);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"model", "hooks", "theme"}));
  EXPECT_EQ(*merged.get_string("theme"), "dark \u00e9");
  EXPECT_EQ(session_start_commands(merged), (std::vector<std::string>{"echo hi", k_ours}));
  const auto& post = merged.get("hooks")->get("PostToolUse")->as_list();
  ASSERT_EQ(post.size(), 1U);
  EXPECT_EQ(*post[0].get_string("matcher"), "Bash");
  EXPECT_EQ(*post[0].get("hooks")->as_list()[0].get_string("command"), "my-linter");
}

TEST(UserHooks, SecondRunChangesNothing)
{
  AgentEnv env;
  const auto settings = claude_settings_path();
  ASSERT_EQ(install_claude_session_start_hook(settings).action, UserHookAction::added);
  // The post-tool row joins the file written before it existed.
  const auto first = install_user_session_hooks({"claude"});
  ASSERT_EQ(first.size(), 2U);
  EXPECT_EQ(first[0].action, UserHookAction::already_present);
  EXPECT_EQ(first[1].action, UserHookAction::added);
  EXPECT_FALSE(first[1].created);
  const auto before = core::fs::read_bytes(settings);
  const auto time = stdfs::last_write_time(settings);
  const auto again = install_user_session_hooks({"Claude Code", "claude"});
  ASSERT_EQ(again.size(), 2U);
  EXPECT_EQ(again[0].action, UserHookAction::already_present);
  EXPECT_EQ(again[1].action, UserHookAction::already_present);
  EXPECT_EQ(again[1].message(),
            "Post-tool hook for claude-code already registered: " + settings.string());
  EXPECT_EQ(core::fs::read_bytes(settings), before);
  EXPECT_EQ(stdfs::last_write_time(settings), time);
  EXPECT_EQ(session_start_commands(read_json(settings)).size(), 1U);
}

TEST(UserHooks, AHookTheUserAdaptedCountsAsOurs)
{
  EXPECT_TRUE(is_session_start_command("kolvex session-start"));
  EXPECT_TRUE(is_session_start_command("  /opt/bin/kolvex   session-start --agent claude-code"));
  EXPECT_FALSE(is_session_start_command("kolvex sync"));
  EXPECT_FALSE(is_session_start_command("echo kolvex session-start"));
  EXPECT_FALSE(is_session_start_command("kolvexx session-start"));
  // Wrapped by the user: still ours.
  EXPECT_TRUE(is_session_start_command("cd \"$CLAUDE_PROJECT_DIR\" && kolvex session-start"));
  EXPECT_TRUE(is_session_start_command("FOO=1 exec '/opt/bin/kolvex' session-start;true"));
  EXPECT_TRUE(is_session_start_command("(cd x; kolvex session-start --agent claude-code) || :"));
  EXPECT_FALSE(is_session_start_command("echo \"kolvex session-start\""));
  EXPECT_FALSE(is_session_start_command("cd kolvex && session-start"));

  const Value settings = core::json::parse(
      R"({"hooks": {"SessionStart": [{"hooks": [{"type": "command", "command": "/usr/local/bin/kolvex session-start"}]}]}})");
  EXPECT_FALSE(merge_claude_session_start(settings).has_value());
}

TEST(UserHooks, AReadOnlySettingsFileIsRespected)
{
  AgentEnv env;
  const auto settings = env.dir().write("claude/settings.json", "{\"model\": \"opus\"}\n");
  ASSERT_EQ(::chmod(settings.c_str(), 0444), 0);
  const auto change = install_claude_session_start_hook(settings);
  EXPECT_EQ(change.action, UserHookAction::failed);
  EXPECT_NE(change.message().find(settings.string()), std::string::npos) << change.message();
  EXPECT_NE(change.message().find("read-only"), std::string::npos);
  EXPECT_NE(change.message().find("--no-user-hooks"), std::string::npos);
  EXPECT_EQ(core::fs::read_bytes(settings), "{\"model\": \"opus\"}\n");
  EXPECT_EQ(mode_of(settings), 0444U);
  // Nothing to write, nothing refused.
  const auto registered = env.dir().write(
      "other/settings.json",
      R"({"hooks": {"SessionStart": [{"hooks": [{"command": "kolvex session-start"}]}]}})");
  ASSERT_EQ(::chmod(registered.c_str(), 0444), 0);
  EXPECT_EQ(install_claude_session_start_hook(registered).action, UserHookAction::already_present);
}

TEST(UserHooks, AHomeThatDoesNotExistIsNotCreated)
{
  AgentEnv env;
  const auto missing_home = env.dir().path() / "no-such-home";
  const auto change = install_claude_session_start_hook(missing_home / ".claude/settings.json");
  EXPECT_EQ(change.action, UserHookAction::failed);
  EXPECT_NE(change.error.find("does not exist"), std::string::npos) << change.error;
  EXPECT_FALSE(stdfs::exists(missing_home));
  // An existing home gets its .claude directory.
  const auto made = install_claude_session_start_hook(env.home().parent_path() / ".claude/s.json");
  EXPECT_EQ(made.action, UserHookAction::added) << made.error;
}

TEST(UserHooks, SettingsWeCannotMergeIntoAreLeftUntouched)
{
  AgentEnv env;
  for (const char* content : {"{\"hooks\": {",
                              "[1, 2]",
                              "{\"hooks\": [\"x\"]}",
                              "{\"hooks\": {\"SessionStart\": {\"a\": 1}}}",
                              "\xef\xbb\xbf{}",
                              "{\n  // mine\n  \"model\": \"opus\"\n}\n",
                              "{\"model\": \"opus\",}"}) {
    const auto settings = env.dir().write("claude/settings.json", content);
    const auto change = install_claude_session_start_hook(settings);
    EXPECT_EQ(change.action, UserHookAction::failed) << content;
    EXPECT_FALSE(change.error.empty());
    EXPECT_EQ(core::fs::read_bytes(settings), content);
    EXPECT_NE(change.message().find("Could not"), std::string::npos);
  }
  // No stray temporary file is left beside it.
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : stdfs::directory_iterator(env.claude_dir())) {
    ++entries;
  }
  EXPECT_EQ(entries, 1U);
}

// Only our rows are added: the user's layout, line ends, numbers, text and
// repeated keys stay byte for byte.
TEST(UserHooks, OnlyOurRowsAreAddedToTheUsersText)
{
  AgentEnv env;
  const std::string head =
      "{\r\n    \"effort\": 1.50,\r\n    \"name\": \"\xC3\xA9\",\r\n"
      "    \"big\": 1e400,\r\n    \"name\": \"twice\",\r\n    \"hooks\": {\r\n"
      "        \"SessionStart\": [\r\n            {\"hooks\": [{\"type\": \"command\", "
      "\"command\": \"echo hi\"}]}";
  const std::string tail = "\r\n        ]\r\n    }\r\n}\r\n";
  const auto settings = env.dir().write("claude/settings.json", head + tail);
  const auto changes = install_claude_user_hooks(settings);
  ASSERT_EQ(changes.size(), 2U);
  EXPECT_EQ(changes[0].action, UserHookAction::added) << changes[0].error;
  EXPECT_EQ(changes[1].action, UserHookAction::added) << changes[1].error;
  const std::string session =
      ",\r\n            {\r\n                \"hooks\": [\r\n"
      "                    {\r\n                        \"type\": \"command\",\r\n"
      "                        \"command\": \"" +
      k_ours +
      "\",\r\n"
      "                        \"timeout\": 60\r\n                    }\r\n"
      "                ]\r\n            }";
  const std::string post =
      ",\r\n        \"PostToolUse\": [\r\n            {\r\n"
      "                \"matcher\": \"Bash\",\r\n                \"hooks\": [\r\n"
      "                    {\r\n                        \"type\": \"command\",\r\n"
      "                        \"command\": \"" +
      std::string(CLAUDE_POST_TOOL_COMMAND) +
      "\",\r\n                        \"timeout\": 30\r\n"
      "                    }\r\n                ]\r\n            }\r\n        ]";
  const std::string expected = head + session + "\r\n        ]" + post + "\r\n    }\r\n}\r\n";
  EXPECT_EQ(core::fs::read_bytes(settings), expected);
  EXPECT_EQ(install_claude_user_hooks(settings)[1].action, UserHookAction::already_present);
  EXPECT_EQ(core::fs::read_bytes(settings), expected);
}

TEST(UserHooks, EmptyFileAndNullHooksAreMergedInto)
{
  AgentEnv env;
  auto settings = env.dir().write("claude/settings.json", "  \n");
  EXPECT_EQ(install_claude_session_start_hook(settings).action, UserHookAction::added);
  EXPECT_EQ(session_start_commands(read_json(settings)), std::vector<std::string>{k_ours});
  env.dir().write("claude/settings.json", R"({"hooks": null})");
  EXPECT_EQ(install_claude_session_start_hook(settings).action, UserHookAction::added);
  EXPECT_EQ(session_start_commands(read_json(settings)), std::vector<std::string>{k_ours});
}

TEST(UserHooks, SymlinkedSettingsAreWrittenThrough)
{
  AgentEnv env;
  const auto real = env.dir().write("dotfiles/claude-settings.json", R"({"model": "opus"})");
  stdfs::create_directories(env.claude_dir());
  const auto link = env.claude_dir() / "settings.json";
  stdfs::create_symlink("../dotfiles/claude-settings.json", link);
  ASSERT_EQ(install_claude_session_start_hook(link).action, UserHookAction::added);
  EXPECT_TRUE(stdfs::is_symlink(link));
  const auto merged = read_json(real);
  EXPECT_EQ(*merged.get_string("model"), "opus");
  EXPECT_EQ(session_start_commands(merged), std::vector<std::string>{k_ours});
}

TEST(UserHooks, OnlyHarnessesWithAUserHookFileTakePart)
{
  AgentEnv env;
  EXPECT_TRUE(install_user_session_hooks({"codex", "cursor", "aider"}).empty());
  EXPECT_FALSE(stdfs::exists(claude_settings_path()));
  const auto changes = install_user_session_hooks({"codex", "claude_code"});
  ASSERT_EQ(changes.size(), 2U);
  EXPECT_EQ(changes[0].hook, UserHook::session_start);
  EXPECT_EQ(changes[1].hook, UserHook::post_tool);
  EXPECT_EQ(changes[0].action, UserHookAction::added);
  EXPECT_EQ(changes[1].action, UserHookAction::added);
  EXPECT_TRUE(changes[0].created);
  EXPECT_FALSE(changes[1].created); // one file, new for the first hook only
  EXPECT_TRUE(stdfs::exists(claude_settings_path()));
}

// The "command" of every hook under hooks.PostToolUse with the group's matcher, in
// file order.
std::vector<std::pair<std::string, std::string>> post_tool_rows(const Value& settings)
{
  std::vector<std::pair<std::string, std::string>> rows;
  for (const auto& group : settings.get("hooks")->get("PostToolUse")->as_list()) {
    for (const auto& hook : group.get("hooks")->as_list()) {
      rows.emplace_back(group.get_string("matcher").value_or(""), *hook.get_string("command"));
    }
  }
  return rows;
}

TEST(UserHooks, ThePostToolRowJoinsTheUsersOwnOnceUnderTheBashMatcher)
{
  AgentEnv env;
  const auto settings = env.dir().write(
      "claude/settings.json",
      R"({"hooks": {"PostToolUse": [{"matcher": "Edit|Write", "hooks": [)"
      R"({"type": "command", "command": "prettier --write"}]}]}, "theme": "dark"})");
  const auto changes = install_claude_user_hooks(settings);
  ASSERT_EQ(changes.size(), 2U);
  EXPECT_EQ(changes[1].action, UserHookAction::added);
  EXPECT_EQ(changes[1].message(),
            "Registered the post-tool hook for claude-code: " + settings.string());
  const Value merged = read_json(settings);
  EXPECT_EQ(*merged.get_string("theme"), "dark");
  const auto rows = post_tool_rows(merged);
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[0], (std::pair<std::string, std::string>{"Edit|Write", "prettier --write"}));
  EXPECT_EQ(rows[1],
            (std::pair<std::string, std::string>{"Bash", std::string(CLAUDE_POST_TOOL_COMMAND)}));
  const auto& ours = merged.get("hooks")->get("PostToolUse")->as_list()[1];
  EXPECT_EQ(ours.get("hooks")->as_list()[0].get("timeout")->as_int(), POST_TOOL_TIMEOUT_SECONDS);
  EXPECT_EQ(session_start_commands(merged), std::vector<std::string>{k_ours});

  // A row the user wrapped, under any matcher, counts as ours.
  const Value wrapped = core::json::parse(
      R"({"hooks": {"PostToolUse": [{"matcher": "*", "hooks": [{"type": "command", "command": )"
      R"("cd ~ && /opt/kolvex/bin/kolvex attest add --user --from-hook 2>/dev/null"}]}]}})");
  EXPECT_FALSE(merge_claude_post_tool(wrapped).has_value());
}

TEST(UserHooks, PostToolCommandsAreRecognisedThroughWrappers)
{
  EXPECT_TRUE(is_post_tool_command(CLAUDE_POST_TOOL_COMMAND));
  EXPECT_TRUE(is_post_tool_command("FOO=1 exec kolvex attest add --from-hook"));
  EXPECT_TRUE(
      is_post_tool_command("(cd x; '/usr/local/bin/kolvex' attest add --agent a --from-hook)"));
  EXPECT_FALSE(is_post_tool_command("kolvex attest add --commit abc"));
  EXPECT_FALSE(is_post_tool_command("kolvex attest --from-hook"));
  EXPECT_FALSE(is_post_tool_command("echo kolvex attest add --from-hook"));
  EXPECT_FALSE(is_post_tool_command("kolvex session-start"));
  EXPECT_FALSE(is_session_start_command(CLAUDE_POST_TOOL_COMMAND));
}

TEST(UserHooks, AReadOnlyFileFailsBothHooksAndStaysAsItWas)
{
  AgentEnv env;
  const auto settings = env.dir().write("claude/settings.json", "{}\n");
  ASSERT_EQ(::chmod(settings.c_str(), 0444), 0);
  const auto changes = install_claude_user_hooks(settings);
  ASSERT_EQ(changes.size(), 2U);
  for (const auto& change : changes) {
    EXPECT_EQ(change.action, UserHookAction::failed);
    EXPECT_NE(change.error.find("read-only"), std::string::npos) << change.error;
  }
  EXPECT_EQ(core::fs::read_text(settings), "{}\n");
}

// Setup's rows come out again leaving the settings as they were, byte for byte and
// mode for mode; a file setup created goes; a second removal finds nothing.
TEST(UserHooks, RemovingTheRowsGivesTheSettingsBack)
{
  const std::vector<std::optional<std::string>> originals{
      std::nullopt,
      "{\n  \"theme\": \"dark\"\n}\n",
      "{\r\n\t\"hooks\": {\r\n\t\t\"SessionStart\": [\r\n\t\t\t{\"hooks\": [{\"type\": "
      "\"command\", \"command\": \"echo hi\"}]}\r\n\t\t]\r\n\t}\r\n}",
      R"({"hooks": {"Stop": []}, "x": 1})",
  };
  for (const auto& original : originals) {
    AgentEnv env;
    const stdfs::path settings = env.dir().path() / "claude" / "settings.json";
    if (original) {
      env.dir().write("claude/settings.json", *original);
      ASSERT_EQ(::chmod(settings.c_str(), 0600), 0);
    }
    for (const auto& change : install_claude_user_hooks(settings)) {
      ASSERT_EQ(change.action, UserHookAction::added) << change.error;
    }
    const UserHookRemoval removal = remove_claude_user_hooks(settings);
    EXPECT_EQ(removal.action,
              original ? UserHookRemoval::Action::updated : UserHookRemoval::Action::deleted)
        << removal.error;
    if (original) {
      EXPECT_EQ(core::fs::read_bytes(settings), *original);
      EXPECT_EQ(mode_of(settings), 0600U);
    } else {
      EXPECT_FALSE(stdfs::exists(settings));
    }
    EXPECT_EQ(remove_claude_user_hooks(settings).action, UserHookRemoval::Action::none);
  }
}

// A group that also runs a hook of the user's, or a row the user added keys to, is
// theirs.
TEST(UserHooks, RowsOfTheUsersOwnStayOnRemoval)
{
  const std::string shared = R"({"hooks": {"SessionStart": [{"hooks": [{"command": ")" + k_ours +
                             R"("}, {"command": "echo mine"}]}]}})";
  const std::string keyed =
      R"({"hooks": {"SessionStart": [{"note": "mine", "hooks": [{"command": ")" + k_ours +
      R"("}]}]}})";
  EXPECT_EQ(remove_claude_rows(shared), std::nullopt);
  EXPECT_EQ(remove_claude_rows(keyed), std::nullopt);
}

} // namespace
} // namespace kolvex::hooks::user_hooks
