// core::fs directory operations: listing, removing a tree without following links,
// and rewriting a file only when its bytes change.
#include "core/fs.hpp"

#include "core/process.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace fs = kolvex::core::fs;
namespace stdfs = std::filesystem;
using kolvex::testing::TempDir;

namespace {

std::vector<std::string> sorted(std::vector<std::string> names)
{
  std::sort(names.begin(), names.end());
  return names;
}

struct stat status_of(const stdfs::path& p)
{
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st;
}

} // namespace

TEST(FsDir, ListsRealSubdirectoriesOnly)
{
  TempDir repo;
  TempDir outside;
  const fs::Confined specs{repo.path(), ".kolvex/.platform/specs"};
  repo.write(".kolvex/.platform/specs/auth/spec.md", "a\n");
  repo.write(".kolvex/.platform/specs/billing/spec.md", "b\n");
  repo.write(".kolvex/.platform/specs/plain.md", "p\n");
  stdfs::create_directory_symlink(outside.path(), specs.full() / "linked");
  EXPECT_EQ(sorted(fs::list_directories(specs)), (std::vector<std::string>{"auth", "billing"}));
  EXPECT_EQ(fs::list_regular_files(specs), std::vector<std::string>{"plain.md"});
  EXPECT_TRUE(fs::list_directories(specs / "absent").empty());
  // A file where the directory belongs is no directory: nothing to list.
  EXPECT_TRUE(fs::list_directories(specs / "plain.md").empty());
  EXPECT_TRUE(fs::list_regular_files(specs / "plain.md").empty());
}

// A tree holding links to the outside is removed, links as links: what they point
// at stays byte for byte.
TEST(FsDir, RemoveTreeNeverFollowsALink)
{
  TempDir repo;
  TempDir outside;
  outside.write("precious/keep.txt", "keep\n");
  outside.write("alone.txt", "alone\n");
  const fs::Confined tree{repo.path(), ".kolvex/.platform/specs/auth"};
  repo.write(".kolvex/.platform/specs/auth/a/b/c/deep.md", "d\n");
  repo.write(".kolvex/.platform/specs/auth/top.md", "t\n");
  stdfs::create_directory_symlink(outside.path() / "precious", tree.full() / "a/dirlink");
  stdfs::create_symlink(outside.path() / "alone.txt", tree.full() / "filelink");
  ASSERT_EQ(::mkfifo((tree.full() / "pipe").c_str(), 0600), 0);

  EXPECT_TRUE(fs::remove_tree(tree));
  EXPECT_FALSE(stdfs::exists(tree.full()));
  EXPECT_TRUE(stdfs::is_directory(tree.full().parent_path()));
  EXPECT_EQ(fs::read_bytes(outside.path() / "precious/keep.txt"), "keep\n");
  EXPECT_EQ(fs::read_bytes(outside.path() / "alone.txt"), "alone\n");
  EXPECT_FALSE(fs::remove_tree(tree)); // already gone

  EXPECT_THROW(fs::remove_tree(fs::Confined{repo.path(), ""}), std::system_error);
}

TEST(FsDir, RemoveTreeGoesOnPastWhatItCannotRemoveAndThenReports)
{
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root ignores directory permissions";
  }
  TempDir repo;
  const fs::Confined tree{repo.path(), ".kolvex/t"};
  repo.write(".kolvex/t/locked/inner.md", "i\n");
  repo.write(".kolvex/t/free.md", "f\n");
  ASSERT_EQ(::chmod((tree.full() / "locked").c_str(), 0500), 0);
  EXPECT_THROW(fs::remove_tree(tree), std::system_error);
  EXPECT_FALSE(stdfs::exists(tree.full() / "free.md"));
  EXPECT_TRUE(stdfs::exists(tree.full() / "locked/inner.md"));
  ::chmod((tree.full() / "locked").c_str(), 0700);
}

TEST(FsDir, RemoveEmptyDirectoryLeavesOneThatHoldsAnything)
{
  TempDir repo;
  repo.write("skills/full/SKILL.md", "x\n");
  stdfs::create_directories(repo.path() / "skills/empty");
  EXPECT_FALSE(fs::remove_empty_directory({repo.path(), "skills/full"}));
  EXPECT_TRUE(fs::remove_empty_directory({repo.path(), "skills/empty"}));
  EXPECT_FALSE(fs::remove_empty_directory({repo.path(), "skills/empty"}));
  EXPECT_FALSE(fs::remove_empty_directory({repo.path(), "absent/dir"}));
  EXPECT_TRUE(stdfs::exists(repo.path() / "skills/full/SKILL.md"));
}

// An unchanged file is not touched at all (same inode, same time); a changed one, or
// one with another mode, is replaced whole.
TEST(FsDir, ReplaceIfChangedWritesOnlyADifference)
{
  TempDir repo;
  const fs::Confined file{repo.path(), ".kolvex/.platform/context.yaml"};
  fs::create_directories(file.parent());
  EXPECT_TRUE(fs::replace_if_changed(file, "a: 1\n"));
  const struct stat first = status_of(file.full());
  EXPECT_EQ(first.st_mode & 0777, 0600U);
  EXPECT_FALSE(fs::replace_if_changed(file, "a: 1\n"));
  const struct stat again = status_of(file.full());
  EXPECT_EQ(again.st_ino, first.st_ino);
  EXPECT_EQ(again.st_mtim.tv_nsec, first.st_mtim.tv_nsec);

  EXPECT_TRUE(fs::replace_if_changed(file, "a: 2\n"));
  EXPECT_EQ(fs::read_bytes(file), "a: 2\n");
  EXPECT_TRUE(fs::replace_if_changed(file, "a: 2\n", 0644));
  EXPECT_EQ(status_of(file.full()).st_mode & 0777, 0644U);
  EXPECT_TRUE(fs::replace_if_changed(file, "")); // same size as nothing: still compared
  EXPECT_EQ(fs::read_bytes(file), "");
  EXPECT_FALSE(fs::replace_if_changed(file, ""));
}

TEST(FindProgram, SearchesPathForAnExecutableFile)
{
  TempDir bin;
  bin.write("tool", "#!/bin/sh\n");
  bin.write("notexec", "#!/bin/sh\n");
  ::chmod((bin.path() / "tool").c_str(), 0755);
  stdfs::create_directories(bin.path() / "dir.d/adir");
  ::chmod((bin.path() / "dir.d/adir").c_str(), 0755);
  kolvex::testing::ScopedEnv env;
  env.set("PATH", "/nonexistent:" + (bin.path() / "dir.d").string() + ":" + bin.path().string());
  EXPECT_EQ(kolvex::core::process::find_program("tool"), bin.path() / "tool");
  EXPECT_FALSE(kolvex::core::process::find_program("notexec"));
  EXPECT_FALSE(kolvex::core::process::find_program("adir")); // a directory is no program
  EXPECT_FALSE(kolvex::core::process::find_program("absent"));
  EXPECT_FALSE(kolvex::core::process::find_program(""));
}
