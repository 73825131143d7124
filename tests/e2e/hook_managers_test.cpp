// `kolvex setup` in repositories whose hooks are run by the hook managers teams use,
// end to end with the real tools (installed by `scripts/bootstrap test`): husky 9 and
// lefthook from npm, the pre-commit framework from Debian, a plain core.hooksPath
// directory and an ordinary hook.  Each test commits through git and checks that the
// commit is recorded and that the team's own hook still runs under its own name.
#include "support/e2e.hpp"

#include "core/process.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace {

using kolvex::testing::log_lines;
using kolvex::testing::parsed_line;
using kolvex::testing::run;
using kolvex::testing::run_kolvex;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
using ::testing::Not;
namespace stdfs = std::filesystem;

const stdfs::path k_tools_bin = stdfs::path(KOLVEX_TOOLS_DIR) / "node_modules" / ".bin";

// A user's hook: it notes the name it was run under, which dispatchers such as husky's
// rely on, and fails the way `sh -e` scripts do when something in them fails.
const std::string k_user_lines = "echo \"$(basename \"$0\")\" >> user-hook-ran.txt\n";

class HookManagersE2E : public kolvex::testing::E2E {
protected:
  // The managers decide where hooks live; a configured hooks path is a case of its own.
  HookManagersE2E()
      : E2E({.path = k_tools_bin.string() + ":" + kolvex::testing::k_system_path,
             .hooks_path = false,
             .initial_commit = true})
  {
  }

  // Skips the test, saying why, when `program` is not installed.
  static bool have(const std::string& program)
  {
    return kolvex::core::process::find_program(program).has_value();
  }

  [[nodiscard]] kolvex::core::process::Result setup() const
  {
    return run_kolvex({"setup", "--no-user-hooks", "--agent", "codex"}, repo.path());
  }

  // Runs setup, which must succeed; returns what it printed.
  std::string set_up()
  {
    const auto result = setup();
    EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
    return result.out + result.err;
  }

  // Commits a new file through git (hooks and all) and returns the sha.
  std::string commit(const std::string& name)
  {
    const auto result = run(
        {"sh", "-c", "echo x > " + name + " && git add " + name + " && git commit -q -m " + name},
        repo.path());
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return repo.git({"rev-parse", "HEAD"});
  }

  [[nodiscard]] bool recorded(const std::string& sha) const
  {
    for (const auto& line : log_lines(repo)) {
      if (!line.empty() && parsed_line(line).find("commit")->as_string() == sha) {
        return true;
      }
    }
    return false;
  }

  // Amends HEAD through git; true when the amended commit's record links the old one
  // (the manager ran the post-rewrite hook, with or without git's stdin).
  bool amend_carries_the_record()
  {
    const std::string old = repo.git({"rev-parse", "HEAD"});
    const auto result = run({"git", "commit", "-q", "--amend", "-m", "amended"}, repo.path());
    EXPECT_EQ(result.exit_code, 0) << result.err;
    const std::string amended = repo.git({"rev-parse", "HEAD"});
    for (const auto& line : log_lines(repo)) {
      if (line.empty()) {
        continue;
      }
      const auto parsed = parsed_line(line);
      const auto* from = parsed.find("rewritten_from");
      if (parsed.find("commit")->as_string() == amended && from != nullptr && from->is_list() &&
          from->as_list().size() == 1 && from->as_list()[0].as_string() == old) {
        return true;
      }
    }
    return false;
  }

  // Merges a new side branch with `git merge --no-ff`; true when the merge commit is
  // recorded (the manager ran the post-merge hook).
  bool merge_is_recorded()
  {
    const std::string here = repo.git({"rev-parse", "--abbrev-ref", "HEAD"});
    repo.git({"checkout", "-q", "-b", "side"});
    commit("side.txt");
    repo.git({"checkout", "-q", here});
    const auto result =
        run({"git", "merge", "-q", "--no-ff", "-m", "merge side", "side"}, repo.path());
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return recorded(repo.git({"rev-parse", "HEAD"}));
  }

  // Setup again changes no file at all.
  void expect_second_setup_changes_nothing(const stdfs::path& file)
  {
    const std::string before = repo.read(file);
    const auto again = set_up();
    EXPECT_THAT(again, HasSubstr("already"));
    EXPECT_EQ(repo.read(file), before);
  }
};

TEST_F(HookManagersE2E, Husky9TheUsersScriptKeepsRunningAndAReinstallKeepsKolvex)
{
  if (!have("husky") || !have("node")) {
    GTEST_SKIP() << "husky is not installed here: run scripts/bootstrap test";
  }
  // What `npx husky init` leaves, with a post-commit script of the team's own.
  ASSERT_EQ(run({"husky"}, repo.path()).exit_code, 0);
  ASSERT_EQ(repo.git({"config", "core.hooksPath"}), ".husky/_");
  repo.write(".husky/post-commit", k_user_lines);

  const auto said = set_up();
  EXPECT_THAT(said, HasSubstr("husky's post-commit script"));
  EXPECT_THAT(repo.read(".husky/post-commit"), HasSubstr(k_user_lines));
  EXPECT_THAT(repo.read(".husky/_/post-commit"), Not(HasSubstr("kolvex")));
  EXPECT_FALSE(stdfs::exists(repo.path() / ".husky/_/post-commit.kolvex-chained"));

  const auto first = commit("a.txt");
  EXPECT_TRUE(recorded(first));
  EXPECT_EQ(repo.read("user-hook-ran.txt"), "post-commit\n");

  // husky rewrites .husky/_ on every install (npm's prepare script): kolvex stays.
  ASSERT_EQ(run({"husky"}, repo.path()).exit_code, 0);
  const auto second = commit("b.txt");
  EXPECT_TRUE(recorded(second));
  EXPECT_EQ(repo.read("user-hook-ran.txt"), "post-commit\npost-commit\n");
  EXPECT_TRUE(amend_carries_the_record());
  EXPECT_TRUE(merge_is_recorded());
  expect_second_setup_changes_nothing(".husky/post-commit");
}

TEST_F(HookManagersE2E, LefthookRunsKolvexBesideTheTeamsCommands)
{
  if (!have("lefthook")) {
    GTEST_SKIP() << "lefthook is not installed here: run scripts/bootstrap test";
  }
  const std::string config = "# the team's hooks\n"
                             "pre-commit:\n"
                             "  commands:\n"
                             "    lint:\n"
                             "      run: echo lint >> lint-ran.txt\n"
                             "post-commit:\n"
                             "  commands:\n"
                             "    notify:\n"
                             "      run: echo notify >> notify-ran.txt\n";
  repo.write("lefthook.yml", config);
  ASSERT_EQ(run({"lefthook", "install"}, repo.path()).exit_code, 0);

  const auto said = set_up();
  EXPECT_THAT(said, HasSubstr("lefthook's post-commit commands"));
  EXPECT_TRUE(repo.read("lefthook.yml").starts_with(config));
  const auto validate = run({"lefthook", "validate"}, repo.path());
  EXPECT_EQ(validate.exit_code, 0) << validate.out << validate.err;
  EXPECT_THAT(repo.read(".git/hooks/post-commit"), HasSubstr("lefthook"));

  const auto sha = commit("a.txt");
  EXPECT_TRUE(recorded(sha));
  EXPECT_EQ(repo.read("notify-ran.txt"), "notify\n");
  EXPECT_EQ(repo.read("lint-ran.txt"), "lint\n");
  EXPECT_TRUE(amend_carries_the_record());
  EXPECT_TRUE(merge_is_recorded());
  expect_second_setup_changes_nothing("lefthook.yml");
}

TEST_F(HookManagersE2E, LefthookWithoutAPostCommitHookIsInstalledBySetup)
{
  if (!have("lefthook")) {
    GTEST_SKIP() << "lefthook is not installed here: run scripts/bootstrap test";
  }
  repo.write("lefthook.yml", "pre-commit:\n  jobs:\n    - run: 'true'\n");
  ASSERT_EQ(run({"lefthook", "install"}, repo.path()).exit_code, 0);
  ASSERT_FALSE(stdfs::exists(repo.path() / ".git/hooks/post-commit"));

  EXPECT_THAT(set_up(), HasSubstr("Ran `lefthook install`"));
  EXPECT_TRUE(recorded(commit("a.txt")));
}

TEST_F(HookManagersE2E, PreCommitFrameworkKeepsItsHookTypesAndKolvexTakesTheOthers)
{
  if (!have("pre-commit")) {
    GTEST_SKIP() << "pre-commit is not installed here: run scripts/bootstrap test";
  }
  const std::string config = "repos:\n"
                             "- repo: local\n"
                             "  hooks:\n"
                             "  - id: team-check\n"
                             "    name: team check\n"
                             "    entry: sh -c 'echo checked >> team-ran.txt'\n"
                             "    language: system\n"
                             "    pass_filenames: false\n"
                             // "commit": pre-commit before 3.2 knows the stage by that name.
                             "    stages: [commit]\n";
  repo.write(".pre-commit-config.yaml", config);
  ASSERT_EQ(run({"pre-commit", "install"}, repo.path()).exit_code, 0);

  // The framework runs only pre-commit here: kolvex's hooks are git's own, and the
  // team's configuration is not touched.
  const auto said = set_up();
  EXPECT_THAT(said, HasSubstr("Installed the git post-commit hook"));
  EXPECT_EQ(repo.read(".pre-commit-config.yaml"), config);
  EXPECT_THAT(repo.read(".git/hooks/pre-commit"), HasSubstr("File generated by pre-commit"));

  const auto sha = commit("a.txt");
  EXPECT_TRUE(recorded(sha));
  EXPECT_EQ(repo.read("team-ran.txt"), "checked\n");
  EXPECT_TRUE(amend_carries_the_record());
  EXPECT_TRUE(merge_is_recorded());
  expect_second_setup_changes_nothing(".git/hooks/post-commit");
}

TEST_F(HookManagersE2E, APlainHooksPathDirectoryAndAnOrdinaryHookKeepTheirNames)
{
  for (const std::string dir : {".githooks", ".git/hooks"}) {
    SCOPED_TRACE(dir);
    TempRepo one;
    one.git({"config", "core.hooksPath", dir});
    one.commit_file("README", "readme\n", "initial");
    const auto hook = one.write(dir + "/post-commit", "#!/bin/sh\nset -e\n" + k_user_lines);
    ASSERT_EQ(::chmod(hook.c_str(), 0755), 0);

    const auto result = run_kolvex({"setup", "--no-user-hooks", "--agent", "codex"}, one.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_THAT(result.out, HasSubstr("as a marked block that runs first"));
    ASSERT_EQ(
        run({"sh", "-c", "echo x > x && git add x && git commit -q -m x"}, one.path()).exit_code,
        0);
    EXPECT_EQ(one.read("user-hook-ran.txt"), "post-commit\n");
    const auto sha = one.git({"rev-parse", "HEAD"});
    EXPECT_THAT(one.read(".kolvex/.platform/log.jsonl"), HasSubstr(sha));
  }
}

TEST_F(HookManagersE2E, HooksPathDevNullIsAClearMessage)
{
  repo.git({"config", "core.hooksPath", "/dev/null"});
  const auto result = setup();
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, HasSubstr("core.hooksPath is /dev/null"));
  EXPECT_THAT(result.err, Not(HasSubstr("filesystem error")));
}

} // namespace
