// The commit hook's direct reads of a repository against git's own answers, for
// each state a commit can leave it in; and the states that must be left to git.
#include "core/git_repo.hpp"

#include "core/process.hpp"
#include "core/text.hpp"
#include "services/relaycore/log/git.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace git = kolvex::core::git;
namespace log = kolvex::services::relaycore::log;
using kolvex::testing::ScopedEnv;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
namespace stdfs = std::filesystem;

// Which reads answer for a state: HEAD (with its branch) and the commit's facts
// (metadata and reflog entry), either, or none, the repository not being opened.
enum class Direct { all, no_head, no_facts, none, no_repo };

using Argv = std::vector<std::string>;

struct StateCase {
  const char* name;
  // The commands (git's, or rm) that leave the repository with the commit to
  // record at HEAD, run at its top in order.
  std::vector<Argv> steps;
  Direct direct;
  // The work tree read, relative to the repository's top.
  const char* tree = ".";
};

// `show -s --format=%aI%n%an%n%ae%n%s` of HEAD, as _commit_metadata trims it.
std::string metadata_by_git(const stdfs::path& dir)
{
  return log::_git({"show", "-s", "--format=%aI%n%an%n%ae%n%s", "HEAD"}, dir);
}

class GitRepoStates : public ::testing::TestWithParam<StateCase> {
protected:
  void SetUp() override
  {
    // The user's own configuration must not decide which rows read directly.
    environment.set("HOME", home.path().string()).set("GIT_CONFIG_NOSYSTEM", "1");
    environment.unset("XDG_CONFIG_HOME").unset("GIT_DIR").unset("GIT_CONFIG_GLOBAL");
  }

  TempDir home;
  ScopedEnv environment;
  TempRepo repo;
};

TEST_P(GitRepoStates, DirectReadsGiveWhatGitGivesOrLeaveItToGit)
{
  for (const Argv& step : GetParam().steps) {
    const auto done = kolvex::testing::run(step, repo.path());
    ASSERT_EQ(done.exit_code, 0) << step[1] << ": " << done.err;
  }
  const stdfs::path dir = repo.path() / GetParam().tree;
  const Direct direct = GetParam().direct;
  const auto answer =
      kolvex::testing::run({"git", "rev-parse", "HEAD^{commit}", "--abbrev-ref", "HEAD"}, dir);
  ASSERT_EQ(answer.exit_code, 0) << answer.err;
  const std::string commit = answer.out.substr(0, answer.out.find('\n'));
  const std::string branch =
      std::string(kolvex::core::text::trim(answer.out.substr(answer.out.find('\n') + 1)));
  const std::string reflog = kolvex::core::process::decode_replace(
      kolvex::testing::run({"git", "log", "-g", "-1", "-z", "--format=%H%x00%gs", "HEAD"}, dir)
          .out);

  // What the hook uses is git's answer whichever way it was found.
  const auto head = log::_head_ref(dir);
  ASSERT_TRUE(head.has_value());
  EXPECT_EQ(head->commit, commit);
  EXPECT_EQ(head->branch, kolvex::core::process::decode_replace(branch));
  const auto facts = log::_head_commit_facts(dir, commit);
  EXPECT_EQ(facts.metadata, metadata_by_git(dir));
  if (reflog.starts_with(commit + '\0')) {
    const std::size_t start = commit.size() + 1;
    EXPECT_EQ(facts.reflog_subject, reflog.substr(start, reflog.find('\0', start) - start));
  } else {
    EXPECT_EQ(facts.reflog_subject, std::nullopt);
  }

  // Which reads answered for themselves.
  const auto opened = git::open_plain(dir);
  ASSERT_EQ(opened.has_value(), direct != Direct::no_repo);
  if (!opened) {
    return;
  }
  EXPECT_EQ(opened->top, stdfs::canonical(dir));
  const auto read = git::read_head(*opened);
  ASSERT_EQ(read.has_value(), direct == Direct::all || direct == Direct::no_facts);
  if (read) {
    EXPECT_EQ(read->commit, commit);
    EXPECT_EQ(read->branch, branch);
  }
  const auto object = git::read_loose_object(*opened, commit);
  const auto newest = git::newest_head_entry(*opened);
  bool facts_read = object.has_value() && newest.has_value() &&
                    (!newest->present || newest->entry.new_oid == commit);
  if (facts_read) {
    try {
      const git::Commit parsed = git::parse_commit_object(*object);
      EXPECT_EQ(kolvex::core::process::decode_replace(
                    git::iso8601_strict(parsed.author.time, parsed.author.tz) + "\n" +
                    parsed.author.name + "\n" + parsed.author.email + "\n" + parsed.subject),
                metadata_by_git(dir));
    } catch (const git::Unusual&) {
      facts_read = false;
    }
  }
  EXPECT_EQ(facts_read, direct == Direct::all || direct == Direct::no_head);
}

Argv commit(const std::string& message)
{
  return {"git", "commit", "-q", "--allow-empty", "-m", message};
}

const Argv k_side{"git", "checkout", "-q", "-b", "side"};
const Argv k_back{"git", "checkout", "-q", "main"};

INSTANTIATE_TEST_SUITE_P(
    Commits,
    GitRepoStates,
    ::testing::Values(
        StateCase{"RootCommit", {commit("feat: first")}, Direct::all},
        StateCase{"SubjectOverLinesWithABody",
                  {commit("fix: a subject  \r\n spread over\tlines \n\nand a body\n")},
                  Direct::all},
        StateCase{"Amend",
                  {commit("first"),
                   {"git", "commit", "-q", "--amend", "--allow-empty", "-m", "docs: amended"}},
                  Direct::all},
        StateCase{"CherryPick",
                  {commit("base"),
                   k_side,
                   commit("on side"),
                   k_back,
                   commit("on main"),
                   {"git", "cherry-pick", "--allow-empty", "side"}},
                  Direct::all},
        StateCase{"Merge",
                  {commit("base"),
                   k_side,
                   commit("on side"),
                   k_back,
                   commit("on main"),
                   {"git", "merge", "-q", "--no-ff", "-m", "Merge side", "side"}},
                  Direct::all},
        StateCase{"DetachedHead",
                  {commit("base"), {"git", "checkout", "-q", "--detach"}, commit("detached")},
                  Direct::all},
        StateCase{"OffsetWestOfUtcAndOldDate",
                  {{"git",
                    "-c",
                    "user.name=Ann  Lee ",
                    "commit",
                    "-q",
                    "--allow-empty",
                    "--date=1000000000 -0930",
                    "-m",
                    "dated"}},
                  Direct::all},
        StateCase{"NotUtf8Subject", {commit("caf\xe9 \xff")}, Direct::all},
        StateCase{"BranchOnlyInPackedRefs",
                  {commit("base"),
                   {"git", "tag", "-a", "-m", "v1", "v1"},
                   {"git", "checkout", "-q", "-b", "feature/x"},
                   commit("packed"),
                   {"git", "pack-refs", "--all"}},
                  Direct::all},
        StateCase{"LinkedWorktree",
                  {commit("base"),
                   {"git", "worktree", "add", "-q", "-b", "wt", ".git/linked"},
                   {"git", "-C", ".git/linked", "commit", "-q", "--allow-empty", "-m", "linked"}},
                  Direct::all,
                  ".git/linked"},
        StateCase{"NoReflog",
                  {{"git", "config", "core.logAllRefUpdates", "false"}, commit("first")},
                  Direct::all},
        // Left to git, each for its own reason.
        StateCase{"TagOfTheBranchName", {commit("base"), {"git", "tag", "main"}}, Direct::no_head},
        StateCase{"SymbolicRefChain",
                  {commit("base"),
                   {"git", "symbolic-ref", "refs/heads/alias", "refs/heads/main"},
                   {"git", "symbolic-ref", "HEAD", "refs/heads/alias"}},
                  Direct::no_head},
        StateCase{"PackedObjects", {commit("base"), {"git", "gc", "-q"}}, Direct::none},
        StateCase{"ReflogNamesAnotherCommit",
                  {commit("first"), commit("second"), {"git", "reflog", "delete", "HEAD@{0}"}},
                  Direct::no_facts},
        StateCase{"OtherEncoding",
                  {{"git",
                    "-c",
                    "i18n.commitEncoding=ISO-8859-1",
                    "commit",
                    "-q",
                    "--allow-empty",
                    "-m",
                    "caf\xe9"}},
                  Direct::no_facts},
        StateCase{"ReplaceRefs",
                  {commit("first"), commit("second"), {"git", "replace", "HEAD", "HEAD~1"}},
                  Direct::no_repo},
        StateCase{"PackedReplaceRefs",
                  {commit("first"),
                   commit("second"),
                   {"git", "replace", "HEAD", "HEAD~1"},
                   {"git", "pack-refs", "--all"},
                   {"rm", "-r", ".git/refs/replace"}},
                  Direct::no_repo},
        StateCase{"ConfigInclude",
                  {commit("first"), {"git", "config", "include.path", "extra.config"}},
                  Direct::no_repo},
        StateCase{"Sha256Objects",
                  {{"rm", "-rf", ".git"},
                   {"git", "init", "-q", "--object-format=sha256"},
                   {"git",
                    "-c",
                    "user.name=A",
                    "-c",
                    "user.email=a@x",
                    "commit",
                    "-q",
                    "--allow-empty",
                    "-m",
                    "first"}},
                  Direct::no_repo},
        StateCase{"SeparateGitDir",
                  {commit("first"), {"git", "init", "-q", "--separate-git-dir=inner.git"}},
                  Direct::no_repo}),
    [](const ::testing::TestParamInfo<StateCase>& info) { return info.param.name; });

} // namespace
