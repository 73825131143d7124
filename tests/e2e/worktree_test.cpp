// Linked worktrees (`git worktree add`) of a set-up repository, end to end: the
// built kolvex, the hook setup installs, and real git committing in two worktrees at
// once.
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>
#include <string>

namespace {

using kolvex::testing::log_lines;
using kolvex::testing::parsed_line;
using kolvex::testing::run;
using kolvex::testing::run_kolvex;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
using ::testing::Not;
namespace stdfs = std::filesystem;

const std::string k_pending = ".kolvex/.commit-attestation.yaml";

class WorktreeE2E : public kolvex::testing::E2E {
protected:
  // git takes a relative hooks path from each worktree's own top, where a linked
  // worktree has no .git directory: the repositories teams use leave it unset.
  WorktreeE2E()
      : E2E({.hooks_path = false,
             .initial_commit = true,
             .setup = {"setup", "--no-user-hooks", "--agent", "codex"}})
  {
  }

  // A new linked worktree on a branch of its own.
  stdfs::path add_worktree(const std::string& name) const
  {
    const stdfs::path dir = trees.path() / name;
    repo.git({"worktree", "add", "-q", "-b", name, dir.string()});
    return dir;
  }

  // Stages `file` in `dir` and attests it with `summary`.
  void stage_and_attest(const stdfs::path& dir, const std::string& file, const std::string& summary)
  {
    ASSERT_EQ(
        run({"sh", "-c", "echo " + file + " > " + file + " && git add " + file}, dir).exit_code, 0);
    const auto diff = run({"git", "diff", "--staged"}, dir);
    const auto attest = run_kolvex({"attest",
                                    "--staged-diff-hash",
                                    kolvex::core::sha256_hex(diff.out),
                                    "--model",
                                    "m",
                                    "--summary",
                                    summary},
                                   dir);
    ASSERT_EQ(attest.exit_code, 0) << attest.err;
    // Set up through the main worktree: no warning that nothing will record it.
    EXPECT_THAT(attest.err, Not(HasSubstr("not set up")));
    ASSERT_TRUE(stdfs::exists(dir / k_pending));
  }

  static std::string head(const stdfs::path& dir)
  {
    auto out = run({"git", "rev-parse", "HEAD"}, dir).out;
    return out.substr(0, out.find('\n'));
  }

  TempDir trees;
};

TEST_F(WorktreeE2E, TwoWorktreesCommittingAtOnceAreRecordedInTheOneLogWithTheirOwnAttestations)
{
  const auto one = add_worktree("one");
  const auto two = add_worktree("two");
  stage_and_attest(one, "a.txt", "change in worktree one");
  stage_and_attest(two, "b.txt", "change in worktree two");

  // Both commits start together; each worktree's hook runs in its own process.
  const auto both =
      run({"sh",
           "-c",
           "(cd \"$1\" && git commit -q -m one) & (cd \"$2\" && git commit -q -m two) & "
           "wait",
           "sh",
           one.string(),
           two.string()},
          trees.path());
  ASSERT_EQ(both.exit_code, 0) << both.err;

  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 2U) << repo.read(".kolvex/.platform/log.jsonl");
  std::set<std::pair<std::string, std::string>> recorded;
  for (const auto& line : lines) {
    const auto record = parsed_line(line);
    recorded.emplace(record.find("commit")->as_string(), record.find("summary")->as_string());
  }
  EXPECT_EQ(recorded,
            (std::set<std::pair<std::string, std::string>>{{head(one), "change in worktree one"},
                                                           {head(two), "change in worktree two"}}));
  // Each attestation was consumed in its own worktree; the records are the main one's.
  EXPECT_FALSE(stdfs::exists(one / k_pending));
  EXPECT_FALSE(stdfs::exists(two / k_pending));
  EXPECT_FALSE(stdfs::exists(one / ".kolvex/.platform/log.jsonl"));
  EXPECT_TRUE(stdfs::exists(kolvex::paths::attestations_dir(repo.path()) / (head(one) + ".yaml")));
}

TEST_F(WorktreeE2E, StatusInEveryWorktreeSaysWhereTheRecordsAre)
{
  const auto one = add_worktree("one");
  ASSERT_EQ(run({"sh", "-c", "echo x > x && git add x && git commit -q -m x"}, one).exit_code, 0);

  const auto in_worktree = run_kolvex({"status"}, one);
  EXPECT_EQ(in_worktree.exit_code, 0) << in_worktree.err;
  EXPECT_THAT(in_worktree.out,
              HasSubstr("Attestation log: " +
                        (repo.path() / ".kolvex/.platform/log.jsonl").string() + "\n"));
  EXPECT_THAT(in_worktree.out, HasSubstr("linked worktree of " + repo.path().string()));
  EXPECT_THAT(in_worktree.out, HasSubstr("unattested        1"));
  EXPECT_THAT(in_worktree.out, Not(HasSubstr("not set up")));

  const auto in_main = run_kolvex({"status"}, repo.path());
  EXPECT_THAT(in_main.out, HasSubstr("Attestation log: .kolvex/.platform/log.jsonl\n"));
  EXPECT_THAT(in_main.out, HasSubstr("unattested        1"));
  EXPECT_THAT(in_main.out, Not(HasSubstr("linked worktree")));
}

TEST(WorktreePaths, RecordsAreTheMainWorktreesAndTheLineOfWorkStaysLocal)
{
  TempRepo repo;
  repo.commit_file("a", "a\n", "a");
  TempDir trees;
  const auto linked = trees.path() / "linked";
  repo.git({"worktree", "add", "-q", "-b", "linked", linked.string()});
  namespace paths = kolvex::paths;

  EXPECT_EQ(paths::main_worktree(linked), repo.path());
  EXPECT_EQ(paths::main_worktree(repo.path()), std::nullopt);
  EXPECT_EQ(paths::log_jsonl(linked), paths::log_jsonl(repo.path()));
  EXPECT_EQ(paths::local_config(linked), paths::local_config(repo.path()));
  EXPECT_EQ(paths::commit_attestation(linked), linked / k_pending);
  EXPECT_EQ(paths::ledgers_dir(linked), linked / ".kolvex/.platform/ledgers");

  // A submodule's .git is a file too, but its git directory names no common one.
  TempDir plain;
  plain.write(".git", "gitdir: " + (repo.path() / ".git").string() + "\n");
  EXPECT_EQ(paths::main_worktree(plain.path()), std::nullopt);
  // A pointer that is not a regular file is not read (a FIFO would stall a hook).
  TempDir odd;
  ASSERT_EQ(::mkfifo((odd.path() / ".git").c_str(), 0600), 0);
  EXPECT_EQ(paths::main_worktree(odd.path()), std::nullopt);
  EXPECT_EQ(paths::log_jsonl(odd.path()), odd.path() / ".kolvex/.platform/log.jsonl");
}

} // namespace
