#include "hooks/installer.hpp"

#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

using kolvex::hooks::installer::HookAction;
using kolvex::hooks::installer::hooks_dir;
using kolvex::hooks::installer::install_post_commit_hook;
using kolvex::testing::TempRepo;

namespace {

bool is_executable(const std::filesystem::path& p)
{
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && (st.st_mode & S_IXUSR) != 0;
}

// A PATH on which no kolvex can be found, so that the hook's fallback runs.
void hide_kolvex()
{
  ::setenv("PATH", "/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin", 1);
}

} // namespace

TEST(PostCommitHook, InstallsOnceAndIsIdempotent)
{
  TempRepo repo;
  auto first = install_post_commit_hook(repo.path());
  EXPECT_EQ(first.action, HookAction::installed);
  EXPECT_EQ(first.path, repo.path() / ".git/hooks/post-commit");
  EXPECT_TRUE(is_executable(first.path));
  const std::string content = repo.read(".git/hooks/post-commit");

  auto second = install_post_commit_hook(repo.path());
  EXPECT_EQ(second.action, HookAction::already_installed);
  EXPECT_EQ(repo.read(".git/hooks/post-commit"), content);
  EXPECT_FALSE(std::filesystem::exists(repo.path() / ".git/hooks/post-commit.kolvex-chained"));
}

TEST(PostCommitHook, HonoursHooksPathAndChainsTheExistingHook)
{
  TempRepo repo;
  repo.git({"config", "core.hooksPath", "custom-hooks"});
  repo.write("custom-hooks/post-commit", "#!/bin/sh\necho ran >> old-hook-ran.txt\n");
  ASSERT_EQ(::chmod((repo.path() / "custom-hooks/post-commit").c_str(), 0755), 0);

  EXPECT_EQ(hooks_dir(repo.path()), repo.path() / "custom-hooks");
  EXPECT_EQ(install_post_commit_hook(repo.path()).action, HookAction::chained);
  EXPECT_EQ(install_post_commit_hook(repo.path()).action, HookAction::already_installed);
  EXPECT_NE(repo.read("custom-hooks/post-commit.kolvex-chained").find("old-hook-ran"),
            std::string::npos);

  hide_kolvex();
  repo.commit_file("a.txt", "a\n", "first");
  EXPECT_EQ(repo.read("old-hook-ran.txt"), "ran\n");
}

TEST(PostCommitHook, WithoutKolvexTheCommitSucceedsAndIsNotLost)
{
  TempRepo repo;
  install_post_commit_hook(repo.path());
  hide_kolvex();

  // Not set up: the hook leaves the repository alone.
  repo.commit_file("a.txt", "a\n", "first");
  EXPECT_FALSE(std::filesystem::exists(repo.path() / ".kolvex"));

  // Set up: a minimal unattested line keeps the commit, once.
  std::filesystem::create_directories(repo.path() / ".kolvex/.platform");
  const std::string sha = repo.commit_file("b.txt", "b\n", "second");
  auto result = kolvex::testing::run({"sh", ".git/hooks/post-commit"}, repo.path());
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  const std::string log = repo.read(".kolvex/.platform/log.jsonl");
  EXPECT_EQ(log,
            "{\"commit\": \"" + sha +
              "\", \"branch\": \"unknown\", \"timestamp\": \"\", \"agent\": \"unknown\", "
              "\"summary\": \"\", \"synced\": false, \"event\": \"commit_unattested\"}\n");
}
