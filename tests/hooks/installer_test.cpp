#include "hooks/installer.hpp"

#include "hooks/shell_block.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

using kolvex::hooks::installer::HookAction;
using kolvex::hooks::installer::hooks_dir;
using kolvex::hooks::installer::HookWay;
using kolvex::testing::ScopedEnv;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
using ::testing::Not;
namespace shell_block = kolvex::hooks::shell_block;
namespace stdfs = std::filesystem;

namespace {

kolvex::hooks::installer::HookInstall install_post_commit(const std::filesystem::path& root)
{
  return kolvex::hooks::installer::install_hook(root, kolvex::hooks::installer::POST_COMMIT);
}

bool is_executable(const stdfs::path& p)
{
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && (st.st_mode & S_IXUSR) != 0;
}

// A PATH on which no kolvex can be found, so that the hook's fallback runs.
void hide_kolvex(ScopedEnv& env)
{
  env.set("PATH", "/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin");
}

// A hook that records its own name ($0) and arguments, as managers that dispatch on
// the name need them.
const std::string k_user_hook = "#!/bin/sh\n"
                                "set -e\n"
                                "echo \"$(basename \"$0\")\" >> user-hook-ran.txt\n"
                                "exit 0\n";

stdfs::path write_hook(const TempDir& repo, const std::string& rel, const std::string& text)
{
  const auto path = repo.write(rel, text);
  EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
  return path;
}

std::string install_error(const TempRepo& repo)
{
  try {
    (void)install_post_commit(repo.path());
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

} // namespace

TEST(PostCommitHook, InstallsOnceAndIsIdempotent)
{
  TempRepo repo;
  auto first = install_post_commit(repo.path());
  EXPECT_EQ(first.action, HookAction::installed);
  EXPECT_EQ(first.way, HookWay::hooks_dir);
  EXPECT_EQ(first.path, repo.path() / ".git/hooks/post-commit");
  EXPECT_TRUE(is_executable(first.path));
  const std::string content = repo.read(".git/hooks/post-commit");
  EXPECT_TRUE(content.starts_with("#!/bin/sh\n" + shell_block::begin_marker("post-commit")));

  auto second = install_post_commit(repo.path());
  EXPECT_EQ(second.action, HookAction::already_installed);
  EXPECT_EQ(repo.read(".git/hooks/post-commit"), content);
  EXPECT_THAT(second.message(repo.path()), HasSubstr("already"));
}

TEST(PostCommitHook, AnExistingHookGetsABlockAndKeepsItsNameAndItsSteps)
{
  TempRepo repo;
  repo.git({"config", "core.hooksPath", "custom-hooks"});
  write_hook(repo, "custom-hooks/post-commit", k_user_hook);

  EXPECT_EQ(hooks_dir(repo.path()), repo.path() / "custom-hooks");
  const auto install = install_post_commit(repo.path());
  EXPECT_EQ(install.action, HookAction::added_to_existing);
  EXPECT_THAT(install.message(repo.path()), HasSubstr("custom-hooks/post-commit"));
  const std::string edited = repo.read("custom-hooks/post-commit");
  EXPECT_THAT(edited, HasSubstr(k_user_hook.substr(10))) << "the hook's own lines are kept";
  EXPECT_TRUE(is_executable(repo.path() / "custom-hooks/post-commit"));
  EXPECT_FALSE(stdfs::exists(repo.path() / "custom-hooks/post-commit.kolvex-chained"));
  EXPECT_EQ(install_post_commit(repo.path()).action, HookAction::already_installed);
  EXPECT_EQ(repo.read("custom-hooks/post-commit"), edited);

  // Under `set -e`, with kolvex missing, the hook still runs to its own end.
  ScopedEnv env;
  hide_kolvex(env);
  repo.commit_file("a.txt", "a\n", "first");
  EXPECT_EQ(repo.read("user-hook-ran.txt"), "post-commit\n");
}

// The block sits first in a script the user wrote: whatever kolvex does, under the
// shells that run hooks, the user's lines after it run, read the hook's own input and
// see neither the fallback's variables nor another PATH.  A PATH that names the work
// tree ("" or ".") never runs the programs a clone ships there.
TEST(PostCommitHook, TheBlockNeverEndsNorTouchesTheScriptAroundIt)
{
  struct Case {
    const char* kolvex; // the kolvex on PATH: its script, or nullptr for none
    bool work_tree_on_path;
    bool fallback_runs;
  };
  const char* const ok = "#!/bin/sh\necho ran >kolvex-ran.txt\nexit 0\n";
  const Case cases[] = {
      {ok, false, false},
      {"#!/bin/sh\necho ran >kolvex-ran.txt\nexit 3\n", false, true},
      {nullptr, false, true},
      {ok, true, false},
      {nullptr, true, true},
  };
  const char* const user_lines = "set -eu\n"
                                 "cat >user-stdin.txt\n"
                                 "echo \"top=${top-unset} sha=${sha-unset}\" >user-vars.txt\n"
                                 "echo \"$PATH\" >user-path.txt\n";
  for (const char* shell : {"sh", "bash", "zsh"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(shell) + (c.kolvex ? c.kolvex : " without kolvex") +
                   (c.work_tree_on_path ? ", the work tree on PATH" : ""));
      TempRepo repo;
      repo.commit_file("a.txt", "a\n", "first");
      repo.write(".kolvex/.platform/config.yaml", "agents: []\n");
      for (const char* planted : {"kolvex", "git", "grep", "tail"}) {
        write_hook(repo, planted, "#!/bin/sh\necho ran >planted-ran.txt\n");
      }
      write_hook(
          repo, ".git/hooks/post-commit", std::string("#!/bin/") + shell + "\n" + user_lines);
      (void)install_post_commit(repo.path());
      TempDir bin;
      if (c.kolvex) {
        write_hook(bin, "kolvex", c.kolvex);
      }
      const std::string path = std::string(c.work_tree_on_path ? ":.:" : "") + bin.path().string() +
                               ":/usr/local/bin:/usr/bin:/bin";
      ScopedEnv env;
      env.set("PATH", path);
      const auto run =
          kolvex::testing::run({shell, ".git/hooks/post-commit"}, repo.path(), "old new\n");

      EXPECT_EQ(run.exit_code, 0) << run.err;
      EXPECT_EQ(run.out + run.err, "");
      EXPECT_EQ(repo.read("user-stdin.txt"), "old new\n");
      EXPECT_EQ(repo.read("user-vars.txt"), "top=unset sha=unset\n");
      EXPECT_EQ(repo.read("user-path.txt"), path + "\n");
      EXPECT_FALSE(stdfs::exists(repo.path() / "planted-ran.txt"));
      EXPECT_EQ(stdfs::exists(repo.path() / "kolvex-ran.txt"), c.kolvex != nullptr);
      EXPECT_EQ(stdfs::exists(repo.path() / ".kolvex/.platform/log.jsonl"), c.fallback_runs);
    }
  }
}

TEST(PostCommitHook, AHookAnEarlierVersionMovedAsideIsPutBack)
{
  TempRepo repo;
  write_hook(repo, ".git/hooks/post-commit", "#!/bin/sh\n# kolvex post-commit hook\nkolvex sync\n");
  write_hook(repo, ".git/hooks/post-commit.kolvex-chained", k_user_hook);

  const auto install = install_post_commit(repo.path());
  EXPECT_EQ(install.restored, repo.path() / ".git/hooks/post-commit");
  EXPECT_EQ(install.action, HookAction::added_to_existing);
  EXPECT_FALSE(stdfs::exists(repo.path() / ".git/hooks/post-commit.kolvex-chained"));
  EXPECT_THAT(repo.read(".git/hooks/post-commit"), HasSubstr("user-hook-ran.txt"));

  // An old hook of ours with nothing moved aside is simply rewritten.
  TempRepo alone;
  write_hook(alone, ".git/hooks/post-commit", "#!/bin/sh\n# kolvex post-commit hook\nold\n");
  EXPECT_EQ(install_post_commit(alone.path()).action, HookAction::updated);
  EXPECT_THAT(alone.read(".git/hooks/post-commit"), Not(HasSubstr("old\n")));
}

// Only a program named kolvex running the hook's own command counts as wired in.
TEST(PostCommitHook, RunsKolvexTellsTheProgramAndTheCommand)
{
  const struct {
    const char* text;
    bool wired;
  } cases[] = {
      {"kolvex sync --record-commit\n", true},
      {"  /opt/tools/bin/kolvex sync --record-commit || true\n", true},
      {"subprocess.run([\"kolvex\", \"sync\", \"--record-commit\"])\n", true},
      {"{\"run\": \"command -v kolvex || exit 0; exec kolvex sync --record-commit\"}\n", true},
      {"notkolvex sync --record-commit\n", false},
      {"kolvex-wrapper sync --record-commit\n", false},
      {"/opt/kolvex/bin/tool sync --record-commit\n", false},
      {"kolvex sync --record-rewrite\n", false},
      {"kolvex sync\n--record-commit\n", false},
      {"  # kolvex sync --record-commit\n", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(kolvex::hooks::installer::runs_kolvex(c.text, "sync --record-commit"), c.wired);
  }
}

TEST(PostCommitHook, HooksItCannotEditSafelyAreRefusedAndLeftAsTheyAre)
{
  // A hook in another language: the lines to add, the file as it was.
  TempRepo python;
  const std::string script = "#!/usr/bin/env python3\nprint('hi')\n";
  write_hook(python, ".git/hooks/post-commit", script);
  const auto install = install_post_commit(python.path());
  EXPECT_EQ(install.action, HookAction::manual);
  EXPECT_THAT(install.manual->message(python.path()), HasSubstr("python3 script"));
  EXPECT_EQ(python.read(".git/hooks/post-commit"), script);

  TempRepo damaged;
  const std::string half = "#!/bin/sh\n" + shell_block::begin_marker("post-commit") + "\necho\n";
  write_hook(damaged, ".git/hooks/post-commit", half);
  EXPECT_THAT(install_error(damaged), HasSubstr("marker lines"));
  EXPECT_EQ(damaged.read(".git/hooks/post-commit"), half);

  TempRepo disabled;
  disabled.git({"config", "core.hooksPath", "/dev/null"});
  const auto message = install_error(disabled);
  EXPECT_THAT(message, HasSubstr("core.hooksPath is /dev/null"));
  EXPECT_THAT(message, HasSubstr("not a directory"));
  EXPECT_THAT(message, Not(HasSubstr("filesystem error")));
}

TEST(PostCommitHook, WithoutKolvexTheCommitSucceedsAndIsNotLost)
{
  TempRepo repo;
  (void)install_post_commit(repo.path());
  ScopedEnv env;
  hide_kolvex(env);

  // Not set up: the hook leaves the repository alone.
  repo.commit_file("a.txt", "a\n", "first");
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex"));

  // Set up: a minimal unattested line keeps the commit, once.
  stdfs::create_directories(repo.path() / ".kolvex/.platform");
  const std::string sha = repo.commit_file("b.txt", "b\n", "second");
  auto result = kolvex::testing::run({"sh", ".git/hooks/post-commit"}, repo.path());
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  const std::string line = "{\"commit\": \"" + sha +
                           "\", \"branch\": \"unknown\", \"timestamp\": \"\", \"agent\": "
                           "\"unknown\", \"summary\": \"\", \"synced\": false, \"event\": "
                           "\"commit_unattested\"}\n";
  EXPECT_EQ(repo.read(".kolvex/.platform/log.jsonl"), line);

  // A linked worktree's commit lands in the main worktree's log.
  repo.git({"config", "--unset", "core.hooksPath"});
  TempDir trees;
  const auto linked = trees.path() / "linked";
  repo.git({"worktree", "add", "-q", "-b", "linked", linked.string()});
  ASSERT_EQ(
      kolvex::testing::run({"sh", "-c", "echo c > c && git add c && git commit -qm c"}, linked)
          .exit_code,
      0);
  EXPECT_THAT(
      repo.read(".kolvex/.platform/log.jsonl"),
      HasSubstr(kolvex::testing::run({"git", "rev-parse", "HEAD"}, linked).out.substr(0, 40)));
  EXPECT_FALSE(stdfs::exists(linked / ".kolvex/.platform/log.jsonl"));
}

TEST(PostCommitHook, TheFallbackNeverWritesThroughALink)
{
  TempRepo repo;
  (void)install_post_commit(repo.path());
  ScopedEnv env;
  hide_kolvex(env);
  TempDir outside;
  const auto target = outside.write("profile", "untouched\n");
  stdfs::create_directories(repo.path() / ".kolvex/.platform");
  stdfs::create_symlink(target, repo.path() / ".kolvex/.platform/log.jsonl");
  repo.commit_file("a.txt", "a\n", "first");
  EXPECT_EQ(outside.read("profile"), "untouched\n");
}

// ---- The block itself -------------------------------------------------------------

TEST(ShellBlock, GoesFirstAfterTheInterpreterLineAndIsFoundAgain)
{
  const std::string block = shell_block::render("post-commit", "  true\n");
  const std::string with = shell_block::insert("#!/bin/bash\necho user\n", block);
  EXPECT_EQ(with, "#!/bin/bash\n" + block + "echo user\n");
  EXPECT_EQ(shell_block::insert("echo user\n", block), block + "echo user\n");

  const auto span = shell_block::find(with, "post-commit");
  ASSERT_EQ(span.found, shell_block::Found::block);
  EXPECT_EQ(with.substr(span.begin, span.end - span.begin), block);
  EXPECT_EQ(shell_block::remove(with, span), "#!/bin/bash\necho user\n");
  // Another hook's block is not this one's.
  EXPECT_EQ(shell_block::find(with, "post-rewrite").found, shell_block::Found::none);
  EXPECT_TRUE(shell_block::only_blocks("#!/bin/sh\n" + block + "\n# note\n"));
  EXPECT_FALSE(shell_block::only_blocks(with));
}

TEST(ShellBlock, InterpreterComesFromTheFirstLine)
{
  EXPECT_EQ(shell_block::interpreter("#!/bin/sh\n"), "sh");
  EXPECT_EQ(shell_block::interpreter("#!/usr/bin/env bash\n"), "bash");
  EXPECT_EQ(shell_block::interpreter("#!/usr/bin/env -S python3 -u\n"), "python3");
  EXPECT_EQ(shell_block::interpreter("#! /usr/bin/node\r\n"), "node");
  EXPECT_EQ(shell_block::interpreter("npx lint-staged\n"), "sh"); // husky's scripts
  EXPECT_EQ(shell_block::interpreter(std::string("\x7f"
                                                 "ELF\0\0",
                                                 6)),
            std::nullopt);
  EXPECT_TRUE(shell_block::is_shell("dash"));
  EXPECT_FALSE(shell_block::is_shell("node"));
}

// A link that stays inside the repository (a hook kept with the project's scripts)
// is followed, and stays a link; a user's own hooks directory outside any
// repository is theirs, links included.
TEST(PostCommitHook, LinksInsideTheRepositoryAndTheUsersOwnHooksAreFollowed)
{
  TempRepo repo;
  repo.git({"config", "core.hooksPath", ".githooks"});
  write_hook(repo, "scripts/post-commit.sh", "#!/bin/sh\necho team\n");
  stdfs::create_directories(repo.path() / ".githooks");
  stdfs::create_symlink("../scripts/post-commit.sh", repo.path() / ".githooks/post-commit");
  EXPECT_EQ(install_post_commit(repo.path()).action, HookAction::added_to_existing);
  EXPECT_TRUE(stdfs::is_symlink(repo.path() / ".githooks/post-commit"));
  EXPECT_THAT(repo.read("scripts/post-commit.sh"), HasSubstr("kolvex sync --record-commit"));

  TempDir mine;
  const auto script = mine.write("dotfiles/post-commit", "#!/bin/sh\necho mine\n");
  stdfs::create_directories(mine.path() / "hooks");
  stdfs::create_symlink(script, mine.path() / "hooks/post-commit");
  repo.git({"config", "core.hooksPath", (mine.path() / "hooks").string()});
  EXPECT_EQ(install_post_commit(repo.path()).action, HookAction::added_to_existing);
  EXPECT_THAT(mine.read("dotfiles/post-commit"), HasSubstr("kolvex sync --record-commit"));
}

namespace {

// What removal does with a hook git's own layouts (covered end to end) do not show:
// lines the user added to kolvex's hook, a hook in another language, half a block, a
// FIFO.  `hook` is the text before setup ("fifo": a FIFO, never set up).
struct RemovalCase {
  const char* name;
  std::string hook;
  std::string added_later; // appended after setup, as a user would
  std::string kept;        // what removal leaves ("" when it must leave the file as it is)
  bool manual;             // the user is told to take lines out
};

class HookRemovalCases : public ::testing::TestWithParam<RemovalCase> {};

TEST_P(HookRemovalCases, OnlyKolvexsBlockGoesAndTheRestIsSaid)
{
  const auto& c = GetParam();
  TempRepo repo;
  const stdfs::path hook = repo.path() / ".git/hooks/post-commit";
  if (c.hook == "fifo") {
    ASSERT_EQ(::mkfifo(hook.c_str(), 0644), 0);
  } else if (!c.hook.empty()) {
    write_hook(repo, ".git/hooks/post-commit", c.hook);
  }
  if (c.hook != "fifo" && c.hook.find(">>> kolvex") == std::string::npos) {
    (void)install_post_commit(repo.path());
  }
  const std::string before =
      c.hook == "fifo" ? "" : repo.read(".git/hooks/post-commit") + c.added_later;
  if (!c.added_later.empty()) {
    write_hook(repo, ".git/hooks/post-commit", before);
  }
  const auto removal =
      kolvex::hooks::installer::uninstall_hook(repo.path(), kolvex::hooks::installer::POST_COMMIT);
  EXPECT_EQ(!removal.manual.empty(), c.manual);
  if (c.manual) {
    EXPECT_THAT(removal.manual[0].message(repo.path()), HasSubstr("Take out of"));
  }
  EXPECT_EQ(removal.warnings.empty(), c.manual || !c.kept.empty()) << c.name;
  if (c.hook != "fifo") {
    EXPECT_EQ(repo.read(".git/hooks/post-commit"), c.kept.empty() ? before : c.kept);
  }
}

INSTANTIATE_TEST_SUITE_P(
    PostCommitHook,
    HookRemovalCases,
    ::testing::Values(
        RemovalCase{"LinesTheUserAddedLater", "", "echo mine\n", "#!/bin/sh\necho mine\n", false},
        RemovalCase{"PythonRunningKolvex",
                    "#!/usr/bin/env python3\nimport subprocess\nsubprocess.run(['kolvex', 'sync', "
                    "'--record-commit'])\n",
                    "",
                    "",
                    true},
        RemovalCase{
            "HalfABlock", "#!/bin/sh\n# >>> kolvex post-commit >>>\necho mine\n", "", "", false},
        RemovalCase{"Fifo", "fifo", "", "", false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
