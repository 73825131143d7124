#include "services/repository.hpp"

#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace {

using kolvex::testing::ScopedEnv;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
namespace shared = kolvex::services::shared;
namespace stdfs = std::filesystem;

const std::string k_empty_sha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// What an agent's shell computes: the pipeline from the help text, run by sh.
std::string pipeline_hash(const stdfs::path& dir)
{
  auto result = kolvex::testing::run({"sh", "-c", "git diff --staged | sha256sum"}, dir);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  return result.out.substr(0, result.out.find(' '));
}

// ---- get_repo_root ----------------------------------------------------------------

TEST(RepoRoot, IsTheTopOfTheWorkTreeFromAnySubdirectory)
{
  TempRepo repo;
  stdfs::create_directories(repo.path() / "src" / "deep");
  EXPECT_EQ(shared::get_repo_root(repo.path()), repo.path());
  EXPECT_EQ(shared::get_repo_root(repo.path() / "src" / "deep"), repo.path());

  ScopedEnv env;
  env.chdir(repo.path() / "src");
  EXPECT_EQ(shared::get_repo_root(), repo.path());
}

TEST(RepoRoot, OutsideAWorkTreeIsAClearError)
{
  TempDir outside;
  ScopedEnv env;
  env.set("GIT_CEILING_DIRECTORIES", outside.path().parent_path().string());
  try {
    (void)shared::get_repo_root(outside.path());
    FAIL() << "expected NotARepository";
  } catch (const shared::NotARepository& e) {
    EXPECT_THAT(e.what(), HasSubstr("Not a git repository"));
    EXPECT_THAT(e.what(), HasSubstr(outside.path().string()));
  }
  EXPECT_THROW((void)shared::get_repo_root(outside.path() / "missing"), shared::NotARepository);

  TempRepo repo;
  EXPECT_THROW((void)shared::get_repo_root(repo.path() / ".git"), shared::NotARepository);
}

// ---- get_staged_diff_hash ---------------------------------------------------------

TEST(StagedDiffHash, NothingStagedIsTheHashOfNothing)
{
  TempRepo repo;
  EXPECT_EQ(shared::get_staged_diff_hash(repo.path()), k_empty_sha256);
  repo.commit_file("a.txt", "a\n", "first");
  repo.write("a.txt", "changed but not staged\n");
  EXPECT_EQ(shared::get_staged_diff_hash(repo.path()), k_empty_sha256);
}

TEST(StagedDiffHash, EqualsThePipelineForAwkwardChanges)
{
  TempRepo repo;
  std::string big;
  for (int i = 0; i < 200; ++i) {
    big += "line " + std::to_string(i) + " of a file long enough to be found as renamed\n";
  }
  repo.write("old name.txt", big);
  repo.write("crlf.txt", "one\r\ntwo\r\n");
  repo.write("image.bin", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe", 18));
  repo.write("delete-me.txt", "bye\n");
  repo.git({"add", "-A"});
  repo.git({"commit", "-q", "-m", "base"});

  repo.git({"mv", "old name.txt", "new name.txt"});
  repo.write("crlf.txt", "one\r\ntwo changed\r\nthree\r\n");
  repo.write("image.bin", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\x01\x02\x03", 19));
  repo.write("caf\xc3\xa9/na\xc3\xafve \xe2\x9c\x93.txt", "accents\n");
  repo.write("\xe6\x97\xa5\xe6\x9c\xac.md", "# \xe6\x97\xa5\xe6\x9c\xac\n");
  repo.git({"rm", "-q", "delete-me.txt"});
  repo.git({"add", "-A"});

  const auto status = repo.git({"diff", "--staged", "--name-status"});
  ASSERT_THAT(status, HasSubstr("R100")) << status;
  ASSERT_THAT(repo.git({"diff", "--staged"}), HasSubstr("Binary files"));

  const auto hash = shared::get_staged_diff_hash(repo.path());
  EXPECT_EQ(hash, pipeline_hash(repo.path()));
  EXPECT_NE(hash, k_empty_sha256);
  // From a subdirectory the diff is still the whole repository's, taken at the root.
  EXPECT_EQ(shared::get_staged_diff_hash(repo.path() / "caf\xc3\xa9"), hash);
}

TEST(StagedDiffHash, FollowsTheUsersConfigurationAsThePipelineDoes)
{
  TempRepo repo;
  repo.commit_file("a.txt", "a\n", "first");
  repo.write("a.txt", "b\n");
  repo.write("\xc3\xa9t\xc3\xa9.txt", "summer\n");
  repo.git({"add", "-A"});
  const auto plain = shared::get_staged_diff_hash(repo.path());
  ASSERT_EQ(plain, pipeline_hash(repo.path()));

  // Options that change what `git diff --staged` prints into a pipe change both
  // sides alike; the hash must still be the one the agent's pipeline printed.
  repo.git({"config", "color.ui", "always"});
  repo.git({"config", "diff.noprefix", "true"});
  repo.git({"config", "core.quotepath", "false"});
  repo.git({"config", "diff.context", "1"});
  const auto configured = shared::get_staged_diff_hash(repo.path());
  EXPECT_NE(configured, plain);
  EXPECT_EQ(configured, pipeline_hash(repo.path()));
}

TEST(StagedDiffHash, OutsideARepositoryThrows)
{
  TempDir outside;
  ScopedEnv env;
  env.set("GIT_CEILING_DIRECTORIES", outside.path().parent_path().string());
  EXPECT_THROW((void)shared::get_staged_diff_hash(outside.path()), shared::NotARepository);
}

} // namespace
