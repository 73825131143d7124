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

struct StateCase {
  const char* name;
  // Leaves the repository with the commit to record at HEAD; returns the top of
  // the work tree to read (the repository's own unless a linked one is made).
  stdfs::path (*prepare)(const TempRepo&);
  Direct direct;
};

stdfs::path top(const TempRepo& repo)
{
  return repo.path();
}

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
  const stdfs::path dir = GetParam().prepare(repo);
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

stdfs::path commit_with_body(const TempRepo& repo)
{
  repo.write("m.txt", "fix: a subject  \r\n spread over\tlines \n\nand a body\n");
  repo.git({"commit", "-q", "--allow-empty", "-F", "m.txt"});
  return repo.path();
}

INSTANTIATE_TEST_SUITE_P(
    Commits,
    GitRepoStates,
    ::testing::Values(
        StateCase{"RootCommit",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "feat: first");
                    return top(repo);
                  },
                  Direct::all},
        StateCase{"SubjectOverLinesWithABody", commit_with_body, Direct::all},
        StateCase{"Amend",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "first");
                    repo.git({"commit", "-q", "--amend", "-m", "docs: amended"});
                    return top(repo);
                  },
                  Direct::all},
        StateCase{"CherryPick",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "base");
                    repo.git({"checkout", "-q", "-b", "side"});
                    repo.commit_file("b", "b\n", "on side");
                    repo.git({"checkout", "-q", "main"});
                    repo.commit_file("c", "c\n", "on main");
                    repo.git({"cherry-pick", "side"});
                    return top(repo);
                  },
                  Direct::all},
        StateCase{"Merge",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "base");
                    repo.git({"checkout", "-q", "-b", "side"});
                    repo.commit_file("b", "b\n", "on side");
                    repo.git({"checkout", "-q", "main"});
                    repo.commit_file("c", "c\n", "on main");
                    repo.git({"merge", "-q", "--no-ff", "-m", "Merge side", "side"});
                    return top(repo);
                  },
                  Direct::all},
        StateCase{"DetachedHead",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "base");
                    repo.git({"checkout", "-q", "--detach"});
                    repo.commit_file("b", "b\n", "detached");
                    return top(repo);
                  },
                  Direct::all},
        StateCase{"OffsetWestOfUtcAndOldDate",
                  [](const TempRepo& repo) {
                    repo.commit_file_at("a", "a\n", "dated", "1000000000 -0930");
                    return top(repo);
                  },
                  Direct::all},
        StateCase{"NotUtf8Subject",
                  [](const TempRepo& repo) {
                    repo.write("m.txt", "caf\xe9 \xff\n");
                    repo.git({"commit", "-q", "--allow-empty", "-F", "m.txt"});
                    return top(repo);
                  },
                  Direct::all},
        StateCase{"BranchOnlyInPackedRefs",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "base");
                    repo.git({"checkout", "-q", "-b", "feature/x"});
                    repo.commit_file("b", "b\n", "packed");
                    repo.git({"pack-refs", "--all"});
                    return top(repo);
                  },
                  Direct::all},
        StateCase{"LinkedWorktree",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "base");
                    repo.git({"worktree", "add", "-q", "-b", "wt", ".git/linked-tree"});
                    const stdfs::path linked = repo.path() / ".git/linked-tree";
                    const auto made = kolvex::testing::run(
                        {"git", "commit", "-q", "--allow-empty", "-m", "in the linked tree"},
                        linked);
                    EXPECT_EQ(made.exit_code, 0) << made.err;
                    return linked;
                  },
                  Direct::all},
        StateCase{"NoReflog",
                  [](const TempRepo& repo) {
                    repo.git({"config", "core.logAllRefUpdates", "false"});
                    repo.commit_file("a", "a\n", "first");
                    stdfs::remove_all(repo.path() / ".git/logs");
                    return top(repo);
                  },
                  Direct::all},
        // Left to git, each for its own reason.
        StateCase{"TagOfTheBranchName",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "base");
                    repo.git({"tag", "main"});
                    return top(repo);
                  },
                  Direct::no_head},
        StateCase{"SymbolicRefChain",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "base");
                    repo.git({"symbolic-ref", "refs/heads/alias", "refs/heads/main"});
                    repo.git({"symbolic-ref", "HEAD", "refs/heads/alias"});
                    return top(repo);
                  },
                  Direct::no_head},
        StateCase{"PackedObjects",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "base");
                    repo.git({"gc", "-q"});
                    return top(repo);
                  },
                  Direct::none},
        StateCase{"ReflogNamesAnotherCommit",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "first");
                    repo.commit_file("b", "b\n", "second");
                    repo.git({"reflog", "delete", "HEAD@{0}"});
                    return top(repo);
                  },
                  Direct::no_facts},
        StateCase{"OtherEncoding",
                  [](const TempRepo& repo) {
                    repo.git({"config", "i18n.commitEncoding", "ISO-8859-1"});
                    repo.write("m.txt", "caf\xe9\n");
                    repo.git({"commit", "-q", "--allow-empty", "-F", "m.txt"});
                    repo.git({"config", "--unset", "i18n.commitEncoding"});
                    return top(repo);
                  },
                  Direct::no_facts},
        StateCase{"ReplaceRefs",
                  [](const TempRepo& repo) {
                    const std::string first = repo.commit_file("a", "a\n", "first");
                    const std::string second = repo.commit_file("b", "b\n", "second");
                    repo.git({"replace", second, first});
                    return top(repo);
                  },
                  Direct::no_repo},
        StateCase{"PackedReplaceRefs",
                  [](const TempRepo& repo) {
                    const std::string first = repo.commit_file("a", "a\n", "first");
                    const std::string second = repo.commit_file("b", "b\n", "second");
                    repo.git({"replace", second, first});
                    repo.git({"pack-refs", "--all"});
                    stdfs::remove_all(repo.path() / ".git/refs/replace");
                    return top(repo);
                  },
                  Direct::no_repo},
        StateCase{"ConfigInclude",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "first");
                    repo.git({"config", "include.path", "extra.config"});
                    return top(repo);
                  },
                  Direct::no_repo},
        StateCase{"Sha256Objects",
                  [](const TempRepo& repo) {
                    stdfs::remove_all(repo.path() / ".git");
                    repo.git({"init", "-q", "-b", "main", "--object-format=sha256"});
                    repo.git({"config", "user.name", "Test Dev"});
                    repo.git({"config", "user.email", "dev@example.com"});
                    repo.commit_file("a", "a\n", "first");
                    return top(repo);
                  },
                  Direct::no_repo},
        StateCase{"SeparateGitDir",
                  [](const TempRepo& repo) {
                    repo.commit_file("a", "a\n", "first");
                    stdfs::rename(repo.path() / ".git", repo.path() / "elsewhere.git");
                    repo.write(".git", "gitdir: elsewhere.git\n");
                    return top(repo);
                  },
                  Direct::no_repo}),
    [](const ::testing::TestParamInfo<StateCase>& info) { return info.param.name; });

} // namespace
