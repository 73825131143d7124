#include "services/git_author.hpp"

#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

using kolvex::core::Map;
using kolvex::services::shared::detect_git_author;
using kolvex::testing::ScopedEnv;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;

namespace {

// Keeps the machine's own git identity out of the repositories under test.
void isolate_git_config(ScopedEnv& env, const TempDir& home)
{
  env.set("HOME", home.path().string());
  env.set("XDG_CONFIG_HOME", home.path().string());
  env.set("GIT_CONFIG_NOSYSTEM", "1");
  env.unset("GIT_CONFIG_GLOBAL");
}

} // namespace

TEST(GitAuthor, NameAndEmailFromTheRepositoryConfiguration)
{
  TempDir home;
  ScopedEnv env;
  isolate_git_config(env, home);
  TempRepo repo;
  repo.git({"config", "user.name", "  Jane Doe "});
  EXPECT_EQ(detect_git_author(repo.path()),
            (Map{{"git_author_name", "Jane Doe"}, {"git_author_email", "dev@example.com"}}));
  repo.git({"config", "--unset", "user.name"});
  EXPECT_EQ(detect_git_author(repo.path()), (Map{{"git_author_email", "dev@example.com"}}));
  repo.git({"config", "user.email", ""});
  EXPECT_TRUE(detect_git_author(repo.path()).empty());
}

TEST(GitAuthor, TheRepositoryValueWinsOverTheUsersAsGitConfigSays)
{
  TempDir home;
  ScopedEnv env;
  isolate_git_config(env, home);
  TempRepo repo;
  repo.git({"config", "--global", "user.name", "Global Name"});
  repo.git({"config", "--global", "user.email", "global@example.com"});
  repo.git({"config", "--unset", "user.email"});
  EXPECT_EQ(detect_git_author(repo.path()),
            (Map{{"git_author_name", "Test Dev"}, {"git_author_email", "global@example.com"}}));
}

TEST(GitAuthor, AMissingDirectoryIsAnErrorNotAnIdentity)
{
  TempDir home;
  ScopedEnv env;
  isolate_git_config(env, home);
  EXPECT_THROW((void)detect_git_author(home.path() / "gone"), std::system_error);
}
