// A log past the size where its commits are indexed and its counts kept beside it:
// whatever happens to the log, the answers are those of reading it whole.
#include "paths.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/commit_index.hpp"
#include "services/relaycore/log/commit_search.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "services/relaycore/sync/synced_patcher.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>

namespace kolvex::services::relaycore::log {
namespace {

namespace stdfs = std::filesystem;
using testing::TempDir;

std::string sha(unsigned n)
{
  char text[41];
  std::snprintf(text, sizeof text, "%08x%032x", n, n * 2654435761u);
  return text;
}

// `count` lines of about 400 bytes, every third one unsent.
void write_log(const stdfs::path& log, unsigned count, unsigned first = 0)
{
  std::ofstream out(log, std::ios::binary | std::ios::app);
  const std::string padding(300, 'x');
  for (unsigned i = first; i < first + count; ++i) {
    out << R"({"commit": ")" << sha(i) << R"(", "branch": "main", "summary": ")" << padding
        << R"(", "event": "commit_unattested", "synced": )" << (i % 3 == 0 ? "false" : "true")
        << "}\n";
  }
}

constexpr unsigned k_lines = 14000; // about 5.6 MB

TEST(LargeLog, CountsMatchAFullReadWhateverHappensToTheLog)
{
  TempDir dir;
  const stdfs::path log = dir.path() / "log.jsonl";
  write_log(log, k_lines);
  const std::vector<std::pair<const char*, std::function<void()>>> steps = {
      {"nothing changed", [] {}},
      {"lines appended", [&] { write_log(log, 50, k_lines); }},
      {"lines marked in place",
       [&] {
         (void)sync::SyncedPatcher(log).mark({sha(0), sha(k_lines)});
       }},
      {"many lines appended", [&] { write_log(log, 12000, k_lines + 50); }},
      {"a line replaced",
       [&] {
         ASSERT_TRUE(_replace_log_entry(paths::confined(log), {{"commit", sha(3)}}));
       }},
      {"the cache cut short",
       [&] { std::ofstream(dir.path() / "log-counts", std::ios::trunc) << "KXCOUNTS1 1 2"; }},
      {"a torn last line", [&] { std::ofstream(log, std::ios::app) << R"({"commit": "ab)"; }},
  };
  for (const auto& [what, step] : steps) {
    step();
    EXPECT_EQ(count_attestation_log(paths::confined(log)),
              read_attestation_log(paths::confined(log)).counts())
        << what;
    EXPECT_EQ(count_attestation_log(paths::confined(log)),
              read_attestation_log(paths::confined(log)).counts())
        << what << ", again";
  }
}

TEST(LargeLog, OneWalkSearchAnswersAsEachSearchAloneWithOrWithoutTheIndex)
{
  for (const unsigned lines : {200u, k_lines}) {
    TempDir dir;
    const stdfs::path log = dir.path() / "log.jsonl";
    write_log(log, lines);
    // Recorded at the end, recorded at the start, never recorded.
    const std::vector<std::string> walk = {
        sha(lines - 1), sha(lines - 7), sha(1), sha(lines + 5), sha(0)};
    for (const bool indexed : {false, true}) {
      if (indexed) {
        ASSERT_TRUE(
            CommitSearch(sha(lines + 9)).run(paths::confined(log)).has_value()); // builds the index
      }
      const auto all = CommitSearch::run_all(paths::confined(log), walk);
      ASSERT_TRUE(all.has_value());
      for (std::size_t i = 0; i < walk.size(); ++i) {
        EXPECT_EQ((*all)[i].found(), CommitSearch(walk[i]).run(paths::confined(log)).value())
            << lines << " lines, index " << indexed << ", commit " << i;
      }
      // Resumed after an append, a search reads the new line.
      auto resumed = *CommitSearch::run_all(paths::confined(log), {sha(lines + 5)});
      write_log(log, 1, lines + 5);
      EXPECT_EQ(resumed[0].run(paths::confined(log)), std::optional<bool>(true));
      ASSERT_TRUE(
          _replace_log_entry(paths::confined(log), {{"commit", sha(lines + 5)}, {"gone", true}}));
    }
  }
}

TEST(LargeLog, TheIndexSparesTheReadOfEveryLineBeforeTheEnd)
{
  TempDir dir;
  const stdfs::path log = dir.path() / "log.jsonl";
  write_log(log, k_lines);
  EXPECT_EQ(CommitSearch(sha(k_lines + 1)).run(paths::confined(log)), std::optional<bool>(false));
  ASSERT_TRUE(stdfs::exists(commit_index_path(paths::confined(log)).full()));
  EXPECT_EQ(CommitSearch(sha(2)).run(paths::confined(log)),
            std::optional<bool>(true)); // a hint: read

  // An edit in place, which the index cannot see, shows that the start is not read;
  // a broken index, or one of a replaced log, is not trusted.
  std::string text = core::fs::read_text(log);
  const std::size_t early = text.find(sha(4));
  const auto edit_in_place = [&](const std::string& commit) {
    text.replace(early, 40, commit);
    std::fstream(log, std::ios::in | std::ios::out | std::ios::binary) << text;
  };
  const std::vector<std::pair<const char*, std::function<void()>>> distrusts = {
      {"broken",
       [&] {
         std::ofstream(commit_index_path(paths::confined(log)).full(),
                       std::ios::binary | std::ios::app)
             << "x";
       }},
      {"replaced", [&] { core::fs::atomic_replace(log, text); }},
  };
  unsigned next = k_lines + 1;
  for (const auto& [what, distrust] : distrusts) {
    edit_in_place(sha(next));
    EXPECT_EQ(CommitSearch(sha(next)).run(paths::confined(log)), std::optional<bool>(false))
        << what;
    distrust();
    EXPECT_EQ(CommitSearch(sha(next)).run(paths::confined(log)), std::optional<bool>(true)) << what;
    ++next;
  }
}

} // namespace
} // namespace kolvex::services::relaycore::log
