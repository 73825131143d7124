// `kolvex sync --record-commit` and the post-commit hook end to end: the built
// binary, run by hand, by git, and by several processes at once.
#include "services/relaycore/log/attestation_log.hpp"
#include "support/e2e.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>

namespace paths = kolvex::paths;

namespace {

using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::k_system_path;
using kolvex::testing::kolvex_dir;
using kolvex::testing::log_lines;
using kolvex::testing::parsed_line;
using kolvex::testing::TempDir;
using kolvex::testing::TempRepo;
using ::testing::HasSubstr;
namespace stdfs = std::filesystem;

std::size_t archive_count(const TempRepo& repo)
{
  const auto dir = kolvex::paths::attestations_dir(repo.path());
  if (!stdfs::exists(dir)) {
    return 0;
  }
  std::size_t count = 0;
  for (const auto& entry : stdfs::directory_iterator(dir)) {
    count += entry.path().extension() == ".yaml" ? 1 : 0;
  }
  return count;
}

class RecordCommitE2E : public kolvex::testing::E2E {
protected:
  RecordCommitE2E() : E2E({.kolvex_on_path = false}) {}

  // Marks the repository as set up, without the hook.
  void set_up_config() const { repo.write(".kolvex/.platform/config.yaml", "agents: []\n"); }

  [[nodiscard]] kolvex::core::process::Result record(const stdfs::path& cwd,
                                                     std::vector<std::string> extra = {}) const
  {
    std::vector<std::string> args{"sync", "--record-commit"};
    args.insert(args.end(), extra.begin(), extra.end());
    return kolvex::testing::run_kolvex(args, cwd);
  }

  // Starts `count` `kolvex sync --record-commit` at once in the repository and
  // waits for all of them.
  void record_all_at_once(int count) const
  {
    const std::string script =
        "i=0; while [ $i -lt " + std::to_string(count) +
        " ]; do (while [ ! -e ../go ]; do :; done; exec \"$0\" sync --record-commit) & "
        "i=$((i+1)); done; sleep 0.3; : > ../go; wait";
    const auto result = kolvex::testing::run({"sh", "-c", script, KOLVEX_BIN}, repo.path());
    ASSERT_EQ(result.exit_code, 0) << result.err;
    stdfs::remove(repo.path().parent_path() / "go");
  }
};

} // namespace

TEST_F(RecordCommitE2E, AnUnknownEventIsAUsageError)
{
  EXPECT_EQ(
      kolvex::testing::run_kolvex({"sync", "--record-commit", "--event", "bogus"}, repo.path())
          .exit_code,
      2);
}

TEST_F(RecordCommitE2E, DoesNothingOutsideARepositoryOrOneNeverSetUp)
{
  TempDir plain;
  auto result = record(plain.path());
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(stdfs::is_empty(plain.path()));

  repo.commit_file("a.txt", "a\n", "first");
  result = record(repo.path());
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex"));
}

TEST_F(RecordCommitE2E, RecordsHeadFromAnySubdirectoryWithTheEvent)
{
  set_up_config();
  const std::string first = repo.commit_file("src/deep/a.txt", "a\n", "docs: explain");
  auto result = record(repo.path() / "src/deep");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  const std::string second = repo.commit_file("b.txt", "b\n", "chore: tidy");
  result = record(repo.path(), {"--event", "skipped"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(record(repo.path()).exit_code, 0); // already recorded: nothing more

  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 2U);
  const Map one = parsed_line(lines[0]);
  const Map two = parsed_line(lines[1]);
  EXPECT_EQ(*one.find("commit"), Value(first));
  EXPECT_EQ(*one.find("event"), Value("commit_unattested"));
  EXPECT_EQ(*two.find("commit"), Value(second));
  EXPECT_EQ(*two.find("event"), Value("attestation_skipped"));
  EXPECT_THAT(kolvex::testing::archive_of(repo, first), HasSubstr("task_type: docs\n"));
  EXPECT_THAT(kolvex::testing::archive_of(repo, first), HasSubstr("source: post_commit\n"));
}

// The hook asks git each thing once, in as few processes as the record needs: a
// git first on PATH writes down every argv it is given (one line each, arguments
// separated by a space), then runs the real one.
struct GitCallsCase {
  const char* name;
  // Prepares the repository, with the commit to record at HEAD.
  void (*prepare)(const TempRepo&);
  std::size_t processes;
  const char* branch_on_line;
};

class RecordCommitGitCalls : public RecordCommitE2E,
                             public ::testing::WithParamInterface<GitCallsCase> {};

TEST_P(RecordCommitGitCalls, AsksGitEachThingOnce)
{
  set_up_config();
  GetParam().prepare(repo);
  TempDir bin;
  const stdfs::path calls = bin.path() / "calls";
  const stdfs::path wrapper = bin.write(
      "git", "#!/bin/sh\necho \"$*\" >> '" + calls.string() + "'\nexec /usr/bin/git \"$@\"\n");
  ASSERT_EQ(::chmod(wrapper.c_str(), 0755), 0);
  env.set("PATH", bin.path().string() + ":" + k_system_path);
  ASSERT_EQ(record(repo.path()).exit_code, 0);
  env.set("PATH", k_system_path);

  std::vector<std::string> argvs;
  std::ifstream in(calls);
  for (std::string line; std::getline(in, line);) {
    argvs.push_back(line);
  }
  std::string listed;
  for (const auto& argv : argvs) {
    listed += "  git " + argv + "\n";
  }
  EXPECT_EQ(argvs.size(), GetParam().processes) << listed;
  std::vector<std::string> sorted = argvs;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end())
      << "a question asked twice:\n"
      << listed;
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(*parsed_line(lines[0]).find("branch"), Value(GetParam().branch_on_line));
}

INSTANTIATE_TEST_SUITE_P(
    Commits,
    RecordCommitGitCalls,
    ::testing::Values(
        // A plain repository's answers are all on disk: HEAD and its branch, the
        // commit, its reflog entry, the configured developer; aider's mark is
        // looked for in the commit as stored.
        GitCallsCase{"ConventionalSubject",
                     [](const TempRepo& repo) { repo.commit_file("a.txt", "a\n", "feat: add a"); },
                     0,
                     "main"},
        GitCallsCase{"TaskTypeFromTheBranch",
                     [](const TempRepo& repo) {
                       repo.git({"checkout", "-q", "-b", "fix/the-bug"});
                       repo.commit_file("a.txt", "a\n", "tidy up");
                     },
                     0,
                     "fix/the-bug"},
        GitCallsCase{"DetachedHead",
                     [](const TempRepo& repo) {
                       repo.commit_file("a.txt", "a\n", "first");
                       repo.git({"checkout", "-q", "--detach"});
                       repo.commit_file("b.txt", "b\n", "second");
                     },
                     0,
                     "HEAD"},
        // Without HEAD's reflog the metadata is read from the commit itself.
        GitCallsCase{"NoReflog",
                     [](const TempRepo& repo) {
                       repo.git({"config", "core.logAllRefUpdates", "false"});
                       repo.commit_file("a.txt", "a\n", "first");
                       stdfs::remove_all(repo.path() / ".git/logs");
                     },
                     0,
                     "main"},
        // HEAD's newest reflog entry is an older commit's: it is not taken for HEAD's,
        // and git, asked as before, says what the commit's is.
        GitCallsCase{"ReflogNamesAnotherCommit",
                     [](const TempRepo& repo) {
                       repo.commit_file("a.txt", "a\n", "first");
                       repo.commit_file("b.txt", "b\n", "second");
                       repo.git({"reflog", "delete", "HEAD@{0}"});
                     },
                     2,
                     "main"}),
    [](const ::testing::TestParamInfo<GitCallsCase>& info) { return info.param.name; });

TEST_F(RecordCommitE2E, FailuresStillExitZeroSilently)
{
  set_up_config();
  repo.commit_file("a.txt", "a\n", "first");
  repo.write(".kolvex/.platform/attestations", "a file where a directory belongs\n");
  const auto result = record(repo.path());
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_FALSE(stdfs::exists(kolvex::paths::log_jsonl(repo.path())));
}

TEST_F(RecordCommitE2E, EightAtOnceLeaveOneLineAndOneArchive)
{
  set_up_config();
  for (int round = 0; round < 3; ++round) {
    const std::string sha = repo.commit_file("f" + std::to_string(round), "x\n", "round");
    record_all_at_once(8);
    const auto lines = log_lines(repo);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(round + 1));
    EXPECT_EQ(*parsed_line(lines.back()).find("commit"), Value(sha));
    EXPECT_EQ(archive_count(repo), static_cast<std::size_t>(round + 1));
  }
}

TEST_F(RecordCommitE2E, EightAtOnceWithAPendingAttestationFileItOnce)
{
  set_up_config();
  repo.commit_file("base.txt", "base\n", "base");
  ASSERT_EQ(record(repo.path()).exit_code, 0);
  for (int round = 0; round < 3; ++round) {
    repo.write("f.txt", std::to_string(round) + "\n");
    repo.git({"add", "f.txt"});
    (void)kolvex::testing::attest_staged(repo, "attested change", "m");
    repo.git({"commit", "-q", "-m", "change"});
    const std::string sha = repo.git({"rev-parse", "HEAD"});

    record_all_at_once(8);
    const auto lines = log_lines(repo);
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(round + 2));
    const Map line = parsed_line(lines.back());
    EXPECT_EQ(*line.find("commit"), Value(sha));
    EXPECT_EQ(*line.find("summary"), Value("attested change"));
    EXPECT_FALSE(line.contains("event"));
    EXPECT_EQ(archive_count(repo), static_cast<std::size_t>(round + 2));
    EXPECT_FALSE(stdfs::exists(kolvex::paths::commit_attestation(repo.path())));
  }
}

TEST_F(RecordCommitE2E, InstalledHookRecordsBesideTheOldHookAndNeverFailsTheCommit)
{
  repo.git({"config", "core.hooksPath", "../shared-hooks"});
  const stdfs::path hooks = repo.path().parent_path() / "shared-hooks";
  TempDir cleanup_guard; // the hooks directory lives beside the repository
  stdfs::create_directories(hooks);
  {
    std::ofstream old(hooks / "post-commit");
    old << "#!/bin/sh\necho \"$(git rev-parse HEAD)\" >> old-hook-ran.txt\n";
  }
  ::chmod((hooks / "post-commit").c_str(), 0755);

  env.set("PATH", kolvex_dir() + ":" + k_system_path);
  const auto setup = kolvex::testing::run_kolvex({"setup"}, repo.path());
  ASSERT_EQ(setup.exit_code, 0) << setup.err;
  EXPECT_THAT(setup.out, HasSubstr("as a marked block that runs first"));

  repo.write("a.txt", "a\n");
  repo.git({"add", "a.txt"});
  (void)kolvex::testing::attest_staged(repo, "first, attested");
  repo.git({"commit", "-q", "-m", "feat: first"});
  const std::string first = repo.git({"rev-parse", "HEAD"});
  const std::string second = repo.commit_file("b.txt", "b\n", "fix: second");

  // Without kolvex on PATH the hook runs the kolvex that set it up (its own fallback,
  // for when neither is there, is the installer's test).
  env.set("PATH", k_system_path);
  const std::string third = repo.commit_file("c.txt", "c\n", "third");

  EXPECT_EQ(repo.read("old-hook-ran.txt"), first + "\n" + second + "\n" + third + "\n");
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 3U);
  const Map one = parsed_line(lines[0]);
  EXPECT_EQ(*one.find("commit"), Value(first));
  EXPECT_EQ(*one.find("summary"), Value("first, attested"));
  EXPECT_FALSE(one.contains("event"));
  const Map two = parsed_line(lines[1]);
  EXPECT_EQ(*two.find("commit"), Value(second));
  EXPECT_EQ(*two.find("branch"), Value("main"));
  EXPECT_EQ(*two.find("summary"), Value("fix: second"));
  EXPECT_THAT(kolvex::testing::archive_of(repo, second), HasSubstr("task_type: bug-fix\n"));
  const Map three = parsed_line(lines[2]);
  EXPECT_EQ(*three.find("commit"), Value(third));
  EXPECT_EQ(*three.find("branch"), Value("main"));
  stdfs::remove_all(hooks);
}

// `truncate -s -1` takes the log's last line end (as a crash or a full disk can):
// the next commit's line, by kolvex or by the hook's own fallback, must not be
// glued to it, or both commits would be one unreadable line.
TEST_F(RecordCommitE2E, ATornLastLineThenACommitLeavesBothRecordsReadable)
{
  env.set("PATH", kolvex_dir() + ":" + k_system_path);
  ASSERT_EQ(kolvex::testing::run_kolvex({"setup"}, repo.path()).exit_code, 0);
  const auto log = kolvex::paths::log_jsonl(repo.path());
  std::vector<std::string> shas{repo.commit_file("a.txt", "a\n", "first")};
  for (const bool with_kolvex : {true, false}) {
    ASSERT_EQ(kolvex::testing::run({"truncate", "-s", "-1", log.string()}, repo.path()).exit_code,
              0);
    env.set("PATH", (with_kolvex ? kolvex_dir() + ":" : "") + k_system_path);
    shas.push_back(repo.commit_file("f.txt", with_kolvex ? "1\n" : "2\n", "next"));
  }
  const auto read = kolvex::services::relaycore::log::read_attestation_log(paths::confined(log));
  EXPECT_EQ(read.corrupt, 0);
  ASSERT_EQ(read.size(), shas.size());
  for (std::size_t i = 0; i < shas.size(); ++i) {
    EXPECT_EQ(*read.pending[i].find("commit"), Value(shas[i]));
  }
}

// `git commit` waits for its post-commit hook.  Whatever hangs (here git itself, for
// the questions the record needs), the hook gives up within its bound, and the
// session start's catch-up records the commit afterwards.
using RecordCommitE2ESlow = RecordCommitE2E;
TEST_F(RecordCommitE2ESlow, AHangingGitCannotHoldTheHookPastItsBound)
{
  set_up_config();
  const std::string sha = repo.commit_file("f.txt", "x\n", "change");
  // An included configuration is git's to read: the record must ask it.
  repo.git({"config", "include.path", "absent.config"});
  const stdfs::path bin = home.path() / "hanging-git";
  stdfs::create_directories(bin);
  {
    std::ofstream git(bin / "git");
    git << "#!/bin/sh\ncase \"$1\" in show|config) sleep 100;; esac\nexec /usr/bin/git \"$@\"\n";
  }
  ::chmod((bin / "git").c_str(), 0755);
  auto hanging_path = std::make_unique<kolvex::testing::ScopedEnv>();
  hanging_path->set("PATH", bin.string() + ":" + k_system_path);
  const auto start = std::chrono::steady_clock::now();
  const auto result = record(repo.path());
  const auto waited = std::chrono::steady_clock::now() - start;
  hanging_path.reset();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_LT(waited, std::chrono::seconds(15));
  EXPECT_TRUE(log_lines(repo).empty());

  const auto session = kolvex::testing::run_kolvex({"session-start"}, repo.path());
  EXPECT_EQ(session.exit_code, 0) << session.err;
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(*parsed_line(lines[0]).find("commit"), Value(sha));
}
