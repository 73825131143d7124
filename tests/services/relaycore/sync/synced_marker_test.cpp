// The marker that builds on its previous rewrite must write exactly what a rewrite
// from scratch writes, whatever was appended in between.
#include "services/relaycore/sync/synced_marker.hpp"

#include "core/fs.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "support/upload_repo.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <random>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kolvex::services::relaycore::sync {
namespace {

namespace stdfs = std::filesystem;
using testing::sha_of;

// One random line of what a log may hold, its end included.
std::string random_line(std::mt19937& rng)
{
  const std::string commit = sha_of('c', rng() % 40);
  switch (rng() % 12) {
  case 0:
    return "{\"commit\": \"" + commit + "\", \"uploaded\": true, \"summary\": \"old\"}\n";
  case 1:
    return "{\"commit\":\"" + commit + "\",\"summary\":\"\xc3\xa9t\xc3\xa9\"}\r\n";
  case 2:
    return "not json at all\n";
  case 3:
    return "[\"" + commit + "\"]\n";
  case 4:
    return "\n";
  case 5:
    return "   \t\n";
  case 6:
    return "{\"commit\": 12, \"n\": 1.50}\n";
  case 7:
    return "{\"commit\": \"" + commit + "\", \"synced\": false, \"f\": 1e5}"; // no end yet
  case 8:
    return "  {\"commit\": \"" + commit + "\", \"synced\": false}  \n";
  default:
    return services::relaycore::log::log_line_text(
        testing::UploadRepo::line(commit, "s" + std::to_string(rng() % 1000)));
  }
}

// Appends as a writer outside this process would (no lock, no fsync).
void append_raw(const stdfs::path& path, const std::string& bytes)
{
  std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

void copy_bytes(const stdfs::path& from, const stdfs::path& to)
{
  std::ofstream(to, std::ios::binary | std::ios::trunc) << core::fs::read_bytes(from);
}

TEST(SyncedMarker, BuildingOnTheLastRewriteWritesWhatAFreshRewriteWrites)
{
  std::mt19937 rng(20240501);
  for (int trial = 0; trial < 10; ++trial) {
    testing::TempDir dir;
    const auto log = dir.path() / "log.jsonl";
    const auto reference = dir.path() / "reference.jsonl";
    for (int i = 0; i < 30; ++i) {
      append_raw(log, random_line(rng));
    }
    SyncedMarker marker(log);
    for (int round = 0; round < 12; ++round) {
      std::set<std::string> commits;
      for (unsigned k = 0; k < 1 + rng() % 6; ++k) {
        commits.insert(sha_of('c', rng() % 40));
      }
      copy_bytes(log, reference);
      const MarkStats fresh = SyncedMarker(reference).mark(commits);
      const MarkStats built = marker.mark(commits);
      ASSERT_EQ(core::fs::read_bytes(log), core::fs::read_bytes(reference))
          << "trial " << trial << " round " << round;
      if (round > 0) {
        EXPECT_TRUE(built.reused);
        EXPECT_LT(built.lines_parsed, fresh.lines_parsed);
      }
      // Others append meanwhile: whole lines, a torn line, or only white space.
      const unsigned appended = rng() % 4;
      for (unsigned k = 0; k < appended; ++k) {
        append_raw(log, random_line(rng));
      }
      if (rng() % 5 == 0) {
        append_raw(log, rng() % 2 == 0 ? "  \n\n" : "\xe2\x80\xa8\n");
      }
    }
  }
}

TEST(SyncedMarker, OnlyMarkedLinesAndAppendedLinesAreParsedAgain)
{
  testing::UploadRepo repo;
  for (unsigned i = 0; i < 500; ++i) {
    repo.record(sha_of('a', i), "r", false);
  }
  SyncedMarker marker(repo.log());
  EXPECT_EQ(marker.mark({sha_of('a', 0)}).lines_parsed, 500u);
  repo.record(sha_of('b', 1), "late", false);
  const MarkStats second = marker.mark({sha_of('a', 1), sha_of('a', 2)});
  EXPECT_TRUE(second.reused);
  EXPECT_EQ(second.lines_parsed, 3u); // two marked, one appended
  EXPECT_EQ(repo.synced_count(), 3u);
}

TEST(SyncedMarker, ARewriteByAnotherWriterIsNotBuiltOn)
{
  testing::UploadRepo repo;
  for (unsigned i = 0; i < 5; ++i) {
    repo.record(sha_of('a', i), "r", false);
  }
  SyncedMarker marker(repo.log());
  (void)marker.mark({sha_of('a', 0)});
  // The attach path rewrites a line in place: the start of the log is not ours.
  ASSERT_TRUE(log::_replace_log_entry(paths::confined(repo.log()),
                                      testing::UploadRepo::line(sha_of('a', 0), "attached")));
  const MarkStats after = marker.mark({sha_of('a', 4)});
  EXPECT_FALSE(after.reused);
  const auto lines = repo.lines();
  EXPECT_EQ(*lines[0].get("synced"), core::Value(false)); // back to unsent, as the attach wants
  EXPECT_EQ(lines[0].get("summary")->as_string(), "attached");
  EXPECT_EQ(*lines[4].get("synced"), core::Value(true));
}

TEST(SyncedMarker, BytesThatAreNotUtf8AreRefusedWhereverTheyAre)
{
  testing::UploadRepo repo;
  repo.record(sha_of('a', 1), "r", false);
  SyncedMarker marker(repo.log());
  (void)marker.mark({sha_of('a', 1)});
  const std::string before = core::fs::read_bytes(repo.log());
  append_raw(repo.log(), "{\"commit\": \"\xff\"}\n"); // after what the memo covers
  EXPECT_THROW((void)marker.mark({sha_of('a', 1)}), core::fs::DecodeError);
  EXPECT_EQ(core::fs::read_bytes(repo.log()), before + "{\"commit\": \"\xff\"}\n");
  EXPECT_THROW((void)SyncedMarker(repo.log()).mark({sha_of('a', 1)}), core::fs::DecodeError);
}

// A write that fails half-way (here: the file-size limit, which binds root too)
// leaves the old log, and the next marking starts from scratch.
TEST(SyncedMarker, AFailedReplaceLeavesTheLogAndForgetsTheMemo)
{
  testing::UploadRepo repo;
  for (unsigned i = 0; i < 50; ++i) {
    repo.record(sha_of('a', i), "r", false);
  }
  const pid_t child = ::fork();
  if (child == 0) {
    int failures = 0;
    SyncedMarker marker(repo.log());
    (void)marker.mark({sha_of('a', 0)});
    const std::string before = core::fs::read_bytes(repo.log());
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    const rlimit small{static_cast<rlim_t>(before.size() / 2), limit.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &small);
    try {
      (void)marker.mark({sha_of('a', 1)});
      failures += 1; // the write should have failed
    } catch (const std::system_error&) {
    }
    ::setrlimit(RLIMIT_FSIZE, &limit);
    failures += core::fs::read_bytes(repo.log()) == before ? 0 : 2;
    const MarkStats retry = marker.mark({sha_of('a', 1)});
    failures += retry.reused ? 4 : 0;
    failures += repo.synced_count() == 2 ? 0 : 8;
    for (const auto& entry : stdfs::directory_iterator(repo.log().parent_path())) {
      failures += entry.path().extension() == ".tmp" ? 16 : 0;
    }
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no failure, 2: log changed, 4: memo kept, "
                                       "8: wrong marks, 16: temporary file left";
}

} // namespace
} // namespace kolvex::services::relaycore::sync
