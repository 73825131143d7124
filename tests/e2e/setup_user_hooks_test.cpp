// `kolvex setup` registering the per-user session-start hook: the built binary, a
// temporary home and real temporary repositories.
#include "core/fs.hpp"
#include "core/json.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace {

using kolvex::testing::run_kolvex;
using ::testing::HasSubstr;
namespace stdfs = std::filesystem;

class SetupUserHooksE2E : public kolvex::testing::E2E {
protected:
  SetupUserHooksE2E() : E2E({.kolvex_on_path = false}) {}

  [[nodiscard]] stdfs::path settings() const { return home.path() / "claude" / "settings.json"; }
};

TEST_F(SetupUserHooksE2E, ClaudeSettingsGainTheHookBesideTheUsersOwn)
{
  const std::string own =
      R"({"hooks": {"SessionStart": [{"hooks": [{"type": "command", "command": "echo mine"}]}]}, )"
      R"("model": "opus"})";
  home.write("claude/settings.json", own);
  const auto first = run_kolvex({"setup", "--agent", "claude-code"}, repo.path());
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_THAT(first.out,
              HasSubstr("Registered the session-start hook for claude-code: " +
                        settings().string() + "\n"));

  const auto merged = kolvex::core::json::parse(kolvex::core::fs::read_text(settings()));
  const auto& groups = merged.get("hooks")->get("SessionStart")->as_list();
  ASSERT_EQ(groups.size(), 2U);
  EXPECT_EQ(*groups[0].get("hooks")->as_list()[0].get_string("command"), "echo mine");
  const auto& ours = groups[1].get("hooks")->as_list()[0];
  EXPECT_EQ(*ours.get_string("command"), "kolvex session-start --agent claude-code");
  EXPECT_EQ(ours.get("timeout")->as_int(), 60);
  EXPECT_EQ(*merged.get_string("model"), "opus");
  // The post-tool row, for shell calls only, in the same file.
  EXPECT_THAT(
      first.out,
      HasSubstr("Registered the post-tool hook for claude-code: " + settings().string() + "\n"));
  const auto& rows = merged.get("hooks")->get("PostToolUse")->as_list();
  ASSERT_EQ(rows.size(), 1U);
  EXPECT_EQ(*rows[0].get_string("matcher"), "Bash");
  EXPECT_EQ(*rows[0].get("hooks")->as_list()[0].get_string("command"),
            "kolvex attest add --from-hook --agent claude-code --user");

  const auto bytes = kolvex::core::fs::read_bytes(settings());
  const auto second = run_kolvex({"setup", "--agent", "claude-code"}, repo.path());
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_THAT(second.out, HasSubstr("Session-start hook for claude-code already registered"));
  EXPECT_THAT(second.out, HasSubstr("Post-tool hook for claude-code already registered"));
  EXPECT_EQ(kolvex::core::fs::read_bytes(settings()), bytes);
}

TEST_F(SetupUserHooksE2E, NoUserHooksLeavesTheSettingsAlone)
{
  const auto result =
      run_kolvex({"setup", "--agent", "claude-code", "--no-user-hooks"}, repo.path());
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.out, HasSubstr("Skipped the user-level harness hooks (--no-user-hooks)"));
  EXPECT_FALSE(stdfs::exists(settings()));
  // A sync does not put it back; setup without the flag does.
  env.unset("KOLVEX_API_KEY");
  (void)run_kolvex({"sync"}, repo.path());
  EXPECT_FALSE(stdfs::exists(settings()));
  ASSERT_EQ(run_kolvex({"setup", "--agent", "claude-code"}, repo.path()).exit_code, 0);
  EXPECT_TRUE(stdfs::exists(settings()));
}

TEST_F(SetupUserHooksE2E, HarnessesWithoutAUserHookAreNotTouched)
{
  const auto result = run_kolvex({"setup", "--agent", "codex"}, repo.path());
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_THAT(result.out, ::testing::Not(HasSubstr("session-start")));
  EXPECT_FALSE(stdfs::exists(settings()));
}

TEST_F(SetupUserHooksE2E, MalformedSettingsFailTheStepAndStayAsTheyWere)
{
  const std::string broken = "{\"hooks\": {\"SessionStart\": [\n";
  home.write("claude/settings.json", broken);
  const auto result = run_kolvex({"setup", "--agent", "claude-code"}, repo.path());
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err,
              HasSubstr("Could not register the session-start hook for claude-code in " +
                        settings().string()));
  EXPECT_EQ(kolvex::core::fs::read_bytes(settings()), broken);
  // The repository's own steps ran before it, and setup says which did and which not.
  EXPECT_TRUE(stdfs::exists(repo.path() / ".kolvex/.platform/config.yaml"));
  EXPECT_THAT(result.out, HasSubstr("Installed the git post-commit hook"));
  EXPECT_THAT(result.out,
              HasSubstr("Set up: the local configuration, the .gitignore entries, the git "
                        "post-commit hook, the git post-rewrite hook, the git post-merge hook, "
                        "the example attestation."));
  EXPECT_THAT(result.err, HasSubstr("Not set up: the user-level harness hooks (failed)."));
}

TEST_F(SetupUserHooksE2E, AReadOnlySettingsFileIsNamedWithTheWayOut)
{
  const std::string own = "{\"model\": \"opus\"}\n";
  home.write("claude/settings.json", own);
  ASSERT_EQ(::chmod(settings().c_str(), 0444), 0);
  const auto refused = run_kolvex({"setup", "--agent", "claude-code"}, repo.path());
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_THAT(refused.err, HasSubstr(settings().string() + " is read-only"));
  EXPECT_THAT(refused.err, HasSubstr("--no-user-hooks"));
  EXPECT_EQ(kolvex::core::fs::read_bytes(settings()), own);

  const auto skipped =
      run_kolvex({"setup", "--agent", "claude-code", "--no-user-hooks"}, repo.path());
  EXPECT_EQ(skipped.exit_code, 0) << skipped.err;
}

} // namespace
