// A record is an archive and a log line, written in that order.  Whatever stops a
// capture between the two (a kill, a full disk, a file size limit) must not leave
// the commit "recorded" without its line: the next capture of that commit, or the
// next catch-up walk, gives it the line.
#include "services/relaycore/capture/capture.hpp"
#include "services/relaycore/capture/catch_up.hpp"
#include "services/relaycore/log/log_writer.hpp"

#include "support/e2e.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using kolvex::agents::ScopedAdapters;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::services::relaycore::capture::capture_commit;
using kolvex::services::relaycore::capture::catch_up_commits;
using kolvex::services::relaycore::capture::record_commit;
using kolvex::testing::archive_exists;
using kolvex::testing::log_lines;
using kolvex::testing::parsed_line;
namespace stdfs = std::filesystem;
namespace paths = kolvex::paths;

namespace {

class CutShortRecord : public kolvex::testing::ScratchRepoTest {
protected:
  void SetUp() override
  {
    ScratchRepoTest::SetUp();
    repo.write(".kolvex/.platform/config.yaml", "project_id: 42\n");
  }

  // Captures `sha` in a child process that may not grow any file past the log's
  // present size: the note and the archive (small, new files) are written, the
  // log's line is not.  The child reports what capture_commit returned.
  std::string capture_with_a_full_log(const std::string& sha)
  {
    const auto log = paths::log_jsonl(repo.path());
    if (!stdfs::exists(log)) {
      repo.write(".kolvex/.platform/log.jsonl", std::string(4000, ' ') + "\n");
    }
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(fds[0]);
      std::signal(SIGXFSZ, SIG_IGN);
      const auto limit = static_cast<rlim_t>(stdfs::file_size(log));
      const rlimit rl{limit, limit};
      ::setrlimit(RLIMIT_FSIZE, &rl);
      const int quiet = ::open("/dev/null", O_WRONLY);
      ::dup2(quiet, 2);
      const auto result = capture_commit(repo.path(), sha);
      const std::string reason = result.written ? "written" : result.reason;
      (void)!::write(fds[1], reason.data(), reason.size());
      ::_exit(0);
    }
    ::close(fds[1]);
    std::string reason;
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
      reason.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return reason;
  }

  [[nodiscard]] bool note_exists(const std::string& sha) const
  {
    return stdfs::exists(
        paths::unlogged_note(paths::confined(paths::attestations_dir(repo.path())), sha).full());
  }

  // The parsed lines of the log that name `sha`.
  [[nodiscard]] std::vector<Map> lines_of(const std::string& sha) const
  {
    std::vector<Map> found;
    for (const auto& line : log_lines(repo)) {
      if (line.find(sha) != std::string::npos) {
        found.push_back(parsed_line(line));
      }
    }
    return found;
  }

  ScopedAdapters no_harness{{}};
};

} // namespace

TEST_F(CutShortRecord, AFailedAppendLeavesANoteAndTheNextCaptureWritesTheLineItMeant)
{
  const std::string sha = repo.commit_file("a.txt", "a\n", "fix: the first change");
  const std::string reason = capture_with_a_full_log(sha);
  EXPECT_NE(reason, "written");
  EXPECT_NE(reason, "already recorded");
  ASSERT_TRUE(archive_exists(repo, sha));
  EXPECT_TRUE(note_exists(sha));
  EXPECT_TRUE(lines_of(sha).empty());

  // Another trigger of the same commit, with room again.
  const auto again = capture_commit(repo.path(), sha, {.source = "harness"});
  EXPECT_EQ(again.reason, "already recorded");
  const auto lines = lines_of(sha);
  ASSERT_EQ(lines.size(), 1U);
  // The line the first capture meant to write: its event and its record's fields.
  EXPECT_EQ(*lines[0].find("event"), Value("commit_unattested"));
  EXPECT_EQ(*lines[0].find("summary"), Value("fix: the first change"));
  EXPECT_EQ(*lines[0].find("branch"), Value("main"));
  EXPECT_FALSE(note_exists(sha));
  EXPECT_EQ(capture_commit(repo.path(), sha).reason, "already recorded");
  EXPECT_EQ(lines_of(sha).size(), 1U);
}

TEST_F(CutShortRecord, AnArchiveWithoutNoteOrLineGetsALineBuiltFromTheArchive)
{
  // What a kill between the two writes left before notes were kept.
  const std::string sha = repo.commit_file("a.txt", "a\n", "first");
  repo.write(".kolvex/.platform/attestations/" + sha + ".yaml",
             "source: post_commit\ntimestamp: '2024-05-01T10:00:00+00:00'\nagent: unknown\n"
             "summary: first\ndeveloper:\n  git_author_name: Test Dev\n");
  const auto result = capture_commit(repo.path(), sha);
  EXPECT_FALSE(result.written);
  EXPECT_EQ(result.reason, "already recorded");
  const auto lines = lines_of(sha);
  ASSERT_EQ(lines.size(), 1U);
  EXPECT_EQ(kolvex::core::json::dump(Value(lines[0])),
            "{\"commit\": \"" + sha +
                "\", \"branch\": \"main\", \"timestamp\": \"2024-05-01T10:00:00+00:00\", "
                "\"agent\": \"unknown\", \"summary\": \"first\", \"synced\": false, \"event\": "
                "\"commit_unattested\", \"developer\": {\"git_author_name\": \"Test Dev\"}}");

  // An attestation's archive (no "source") gets a line without an event.
  const std::string attested = repo.commit_file("b.txt", "b\n", "second");
  repo.write(".kolvex/.platform/attestations/" + attested + ".yaml",
             "staged_diff_hash: abc\nsummary: declared\n");
  EXPECT_EQ(capture_commit(repo.path(), attested).reason, "already recorded");
  ASSERT_EQ(lines_of(attested).size(), 1U);
  EXPECT_FALSE(lines_of(attested)[0].contains("event"));
  EXPECT_EQ(*lines_of(attested)[0].find("summary"), Value("declared"));
}

TEST_F(CutShortRecord, ALastLineWithoutItsEndStillNamesItsCommitAndTheNextGoesAfterIt)
{
  const std::string sha = repo.commit_file("a.txt", "a\n", "first");
  ASSERT_TRUE(capture_commit(repo.path(), sha).written);
  std::string text = repo.read(paths::log_jsonl(repo.path()));
  text.pop_back(); // an editor saved the log without its final newline
  repo.write(".kolvex/.platform/log.jsonl", text);

  EXPECT_EQ(capture_commit(repo.path(), sha).reason, "already recorded");
  EXPECT_EQ(lines_of(sha).size(), 1U) << "the archive's self-heal wrote the line again";
  const std::string next = repo.commit_file("b.txt", "b\n", "second");
  ASSERT_TRUE(capture_commit(repo.path(), next).written);
  const auto lines = log_lines(repo);
  ASSERT_EQ(lines.size(), 2U);
  EXPECT_EQ(*parsed_line(lines[0]).find("commit"), Value(sha));
  EXPECT_EQ(*parsed_line(lines[1]).find("commit"), Value(next));
}

TEST_F(CutShortRecord, ANoteWithoutItsArchiveIsDroppedAndTheCommitRecorded)
{
  const std::string sha = repo.commit_file("a.txt", "a\n", "first");
  repo.write(".kolvex/.platform/attestations/.unlogged/" + sha + ".jsonl", "append\n{\"commi");
  const auto result = capture_commit(repo.path(), sha);
  EXPECT_TRUE(result.written) << result.reason;
  EXPECT_FALSE(note_exists(sha));
  EXPECT_EQ(lines_of(sha).size(), 1U);
}

TEST_F(CutShortRecord, TheCatchUpCompletesANotedRecordBehindANewerRecordedCommit)
{
  const std::string older = repo.commit_file("a.txt", "a\n", "first");
  ASSERT_NE(capture_with_a_full_log(older), "written");
  const std::string newer = repo.commit_file("b.txt", "b\n", "second");
  ASSERT_EQ(record_commit(repo.path()), newer);
  ASSERT_TRUE(lines_of(older).empty());

  // The walk stops at `newer`, already recorded; the note still reaches `older`.
  const auto walked = catch_up_commits(repo.path());
  EXPECT_TRUE(walked.empty());
  EXPECT_EQ(lines_of(older).size(), 1U);
  EXPECT_EQ(lines_of(newer).size(), 1U);
  EXPECT_FALSE(note_exists(older));
}

TEST_F(CutShortRecord, ANoteToReplaceALinePutsItInPlace)
{
  namespace log = kolvex::services::relaycore::log;
  const std::string sha(40, 'c');
  const auto log_path = paths::log_jsonl(repo.path());
  const auto archives = paths::attestations_dir(repo.path());
  repo.write(".kolvex/.platform/log.jsonl",
             "{\"commit\": \"" + sha + "\", \"synced\": true, \"event\": \"commit_unattested\"}\n");
  repo.write(".kolvex/.platform/attestations/" + sha + ".yaml", "summary: attested\n");
  const Map line{{"commit", sha}, {"summary", "attested"}, {"synced", false}};
  repo.write(".kolvex/.platform/attestations/.unlogged/" + sha + ".jsonl",
             "replace\n" + log::log_line_text(line));
  log::CommitSearch search(sha);
  EXPECT_TRUE(log::_complete_record(
      paths::confined(log_path), paths::confined(archives), sha, "main", search));
  EXPECT_EQ(log_lines(repo), std::vector<std::string>{kolvex::core::json::dump(Value(line))});
  EXPECT_FALSE(note_exists(sha));
}
