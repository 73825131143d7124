// paths::RepositoryHandle: locations beneath a repository opened once, relative to
// the directories it holds.  What matters is what a repository can do to them after
// the handle checked them: a directory swapped for a link must not redirect a read
// or a write out of the repository.
#include "repository_handle.hpp"

#include "core/fs.hpp"
#include "paths.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <functional>

namespace fs = kolvex::core::fs;
namespace paths = kolvex::paths;
namespace stdfs = std::filesystem;
using kolvex::testing::TempDir;

namespace {

struct Case {
  const char* name;
  // A location the location helpers give for the repository at `root`.
  std::function<stdfs::path(const stdfs::path& root)> location;
  // Beneath `.platform`, which the handle holds open; above it a walk from the root
  // meets the link and refuses it.
  bool beneath_platform;
};

class HandleLocations : public ::testing::TestWithParam<Case> {};

// Each location is opened, then `.kolvex` is moved away and replaced by a link to a
// directory outside with the same layout: what the handle reads and writes stays in
// the directories it checked, or is refused; nothing outside is read or written.
TEST_P(HandleLocations, ALinkSwappedInAfterTheOpenIsNeverFollowed)
{
  const TempDir repo;
  const TempDir outside;
  const stdfs::path target = GetParam().location(repo.path());
  repo.write(target.lexically_relative(repo.path()), "kept\n");
  outside.write(target.lexically_relative(repo.path()), "outside\n");
  const paths::RepositoryHandle handle(repo.path());
  const fs::Confined at = handle.at(target);
  ASSERT_EQ(at.full(), target);
  ASSERT_NE(at.root_fd, nullptr);

  stdfs::rename(repo.path() / ".kolvex", repo.path() / "moved");
  stdfs::create_directory_symlink(outside.path() / ".kolvex", repo.path() / ".kolvex");

  const stdfs::path moved =
      repo.path() / "moved" / target.lexically_relative(repo.path() / ".kolvex");
  if (GetParam().beneath_platform) {
    EXPECT_EQ(fs::read_text(at), "kept\n");
    fs::append_line(at, "added");
    fs::atomic_replace(at.parent() / "beside.yaml", "new\n");
    fs::create_directories(at.parent() / "sub");
    EXPECT_EQ(fs::read_bytes(moved), "kept\nadded\n");
    EXPECT_TRUE(stdfs::is_regular_file(moved.parent_path() / "beside.yaml"));
    EXPECT_TRUE(stdfs::is_directory(moved.parent_path() / "sub"));
  } else {
    EXPECT_THROW((void)fs::read_text(at), fs::UnsafePathError);
    EXPECT_THROW(fs::append_line(at, "added"), fs::UnsafePathError);
    EXPECT_EQ(fs::read_bytes(moved), "kept\n");
  }
  EXPECT_EQ(outside.read(target.lexically_relative(repo.path())), "outside\n");
  EXPECT_FALSE(stdfs::exists(outside.path() / target.parent_path().lexically_relative(repo.path()) /
                             "beside.yaml"));
}

INSTANTIATE_TEST_SUITE_P(
    Paths,
    HandleLocations,
    ::testing::Values(
        Case{"Log", [](const stdfs::path& root) { return paths::log_jsonl(root); }, true},
        Case{"Archive",
             [](const stdfs::path& root) { return paths::attestations_dir(root) / "abc.yaml"; },
             true},
        Case{"Pending",
             [](const stdfs::path& root) { return paths::commit_attestation(root); },
             false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A repository without `.platform` yet: the first write creates it beneath the
// root the handle holds, not through whatever stands at the root's path by then.
TEST(RepositoryHandle, APlatformMadeAfterTheOpenIsCreatedBeneathTheHeldRoot)
{
  const TempDir repo;
  const TempDir elsewhere;
  stdfs::create_directories(repo.path() / "work");
  const paths::RepositoryHandle opened(repo.path() / "work");
  ASSERT_FALSE(opened.platform().is_open());
  const fs::Confined log = opened.at(paths::log_jsonl(repo.path() / "work"));

  stdfs::rename(repo.path() / "work", repo.path() / "renamed");
  stdfs::create_directory_symlink(elsewhere.path(), repo.path() / "work");
  fs::create_directories(log.parent());
  fs::append_line(log, "{}");

  EXPECT_TRUE(stdfs::is_regular_file(repo.path() / "renamed/.kolvex/.platform/log.jsonl"));
  EXPECT_FALSE(stdfs::exists(elsewhere.path() / ".kolvex"));
}

} // namespace
