#include "services/relaycore/cache/session_summary.hpp"

#include "core/clock.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace kolvex::services::relaycore::cache {
namespace {

using core::Value;
using testing::TempDir;
namespace stdfs = std::filesystem;

const std::string k_em = "\u2014";

// The summary of the cache directory at `dir`, opened as the session start opens
// its .platform.
std::string generate_session_summary_at(const stdfs::path& dir,
                                        const Value& project_id,
                                        const std::optional<std::string>& agent_name,
                                        double now)
{
  return cache::generate_session_summary_at(
      paths::DirectoryHandle::open(dir), project_id, agent_name, now);
}

std::string generate_session_summary(const stdfs::path& dir,
                                     const Value& project_id,
                                     const std::optional<std::string>& agent_name)
{
  return cache::generate_session_summary(paths::DirectoryHandle::open(dir), project_id, agent_name);
}

std::vector<std::string> lines_of(const std::string& text)
{
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (;;) {
    const auto end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) {
      return lines;
    }
    start = end + 1;
  }
}

std::string status_config(int status)
{
  return "cache:\n  fetch_status:\n    kolvexrules: " + std::to_string(status) + "\n";
}

// Sets the modification time of `file` to `seconds_ago` before now.
void age(const stdfs::path& file, double seconds_ago)
{
  const auto when = stdfs::file_time_type::clock::now() -
                    std::chrono::duration_cast<stdfs::file_time_type::duration>(
                        std::chrono::duration<double>(seconds_ago));
  stdfs::last_write_time(file, when);
}

std::string pending_line(int i)
{
  std::string sha(40, '0');
  sha.back() = static_cast<char>('1' + i);
  return R"({"commit": ")" + sha +
         R"(", "event": "commit_unattested", "synced": false})"
         "\n";
}

void write_pending(const TempDir& cache, int count)
{
  std::string log;
  for (int i = 0; i < count; ++i) {
    log += pending_line(i);
  }
  // A sent record is not pending.
  log += R"({"commit": ")" + std::string(40, 'a') +
         R"(", "synced": true})"
         "\n";
  cache.write("log.jsonl", log);
}

TEST(SessionSummary, EmptyCacheIsExactlyFiveLines)
{
  TempDir cache;
  const auto text = generate_session_summary(cache.path(), Value(), std::nullopt);
  EXPECT_EQ(text,
            "kolvex session context loaded\n"
            "  elements: 0\n"
            "  rules: not cached " +
                k_em +
                " run 'kolvex sync'\n"
                "  specs: 0\n"
                "  cache: empty " +
                k_em + " run 'kolvex sync' to populate");
  // A cache directory that does not exist reads the same and is not created.
  const auto missing = cache.path() / "nope";
  EXPECT_EQ(generate_session_summary(missing, Value(), std::nullopt), text);
  EXPECT_FALSE(stdfs::exists(missing));
}

TEST(SessionSummary, ProjectAndAgentLinesComeFirstInOrder)
{
  TempDir cache;
  cache.write("kolvexrules.yaml", "constraints:\n  a: 1\n");
  cache.write("config.yaml", status_config(200));
  const auto lines = lines_of(generate_session_summary(cache.path(), Value(42), "claude-code"));
  ASSERT_EQ(lines.size(), 7U);
  EXPECT_EQ(lines[0], "kolvex session context loaded");
  EXPECT_EQ(lines[1], "  project: 42");
  EXPECT_EQ(lines[2], "  agent: claude-code");
  EXPECT_EQ(lines[3], "  elements: 0");
  EXPECT_EQ(lines[4], "  rules: 1");
  EXPECT_EQ(lines[5], "  specs: 0");
  EXPECT_EQ(lines[6], "  cache: fresh");
  // A project id given as text is shown as it is; an empty agent name shows nothing.
  const auto text = generate_session_summary(cache.path(), Value("proj-7"), "");
  EXPECT_EQ(lines_of(text)[1], "  project: proj-7");
  EXPECT_EQ(text.find("agent:"), std::string::npos);
  EXPECT_NE(text.back(), '\n');
}

TEST(SessionSummary, OneStaleFileMakesTheCacheStaleEvenAfterAFailedFetch)
{
  TempDir cache;
  cache.write("kolvexstate.yaml", "architecture: {}\n");
  const auto rules = cache.write("kolvexrules.yaml", "checks:\n  c1: x\n");
  cache.write("config.yaml", status_config(500));
  age(rules, 2 * 86400);
  const auto lines = lines_of(generate_session_summary(cache.path(), Value(), std::nullopt));
  EXPECT_EQ(lines.back(), "  cache: stale " + k_em + " run 'kolvex sync' to refresh");
  EXPECT_EQ(lines[2], "  rules: 1 (stale " + k_em + " last sync could not reach kolvex)");
}

TEST(SessionSummary, EmptyRulesAfterASuccessfulFetchIsAFreshZero)
{
  TempDir cache;
  cache.write("kolvexrules.yaml", "");
  cache.write("config.yaml", status_config(200));
  const auto lines = lines_of(generate_session_summary(cache.path(), Value(), std::nullopt));
  ASSERT_EQ(lines.size(), 5U);
  EXPECT_EQ(lines[2], "  rules: 0");
  EXPECT_EQ(lines[4], "  cache: fresh");
}

TEST(SessionSummary, FailedOrUnreadableRulesMakeTheCacheIncomplete)
{
  TempDir cache;
  cache.write("kolvexrules.yaml", "invariants:\n  i1: x\n  i2: y\n");
  cache.write("config.yaml", status_config(500));
  auto lines = lines_of(generate_session_summary(cache.path(), Value(), std::nullopt));
  EXPECT_EQ(lines[2], "  rules: 2 (stale " + k_em + " last sync could not reach kolvex)");
  EXPECT_EQ(lines[4], "  cache: incomplete " + k_em + " run 'kolvex sync' to refresh");

  cache.write("config.yaml", status_config(200));
  cache.write("kolvexrules.yaml", "- a list\n- is no rules file\n");
  lines = lines_of(generate_session_summary(cache.path(), Value(), std::nullopt));
  EXPECT_EQ(lines[2], "  rules: unreadable " + k_em + " run 'kolvex sync' to repair the cache");
  EXPECT_EQ(lines[4], "  cache: incomplete " + k_em + " run 'kolvex sync' to refresh");
}

TEST(SessionSummary, StaleOnlyPastOneWholeDay)
{
  TempDir cache;
  const auto state = cache.write("kolvexstate.yaml", "architecture: {}\n");
  const auto fresh = "  cache: fresh";
  const auto stale = "  cache: stale " + k_em + " run 'kolvex sync' to refresh";

  // The boundary itself, with the clock fixed: exactly a day old is not stale.
  const double mtime = 1'700'000'000.0;
  stdfs::last_write_time(
      state,
      stdfs::file_time_type::clock::from_sys(
          std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000))));
  EXPECT_EQ(
      lines_of(generate_session_summary_at(cache.path(), Value(), std::nullopt, mtime + 86400))
          .back(),
      fresh);
  EXPECT_EQ(
      lines_of(generate_session_summary_at(cache.path(), Value(), std::nullopt, mtime + 86400.5))
          .back(),
      stale);

  // And against the real clock, with a margin either side.
  age(state, 86400 - 2);
  EXPECT_EQ(lines_of(generate_session_summary(cache.path(), Value(), std::nullopt)).back(), fresh);
  age(state, 86400 + 2);
  EXPECT_EQ(lines_of(generate_session_summary(cache.path(), Value(), std::nullopt)).back(), stale);
}

TEST(SessionSummary, PendingLineDependsOnTheProject)
{
  TempDir cache;
  write_pending(cache, 3);
  EXPECT_EQ(lines_of(generate_session_summary(cache.path(), Value(42), std::nullopt)).back(),
            "  3 attestation(s) pending upload " + k_em + " run 'kolvex sync'");
  const auto waiting = "  3 attestation(s) recorded locally, waiting for a project";
  EXPECT_EQ(lines_of(generate_session_summary(cache.path(), Value(), std::nullopt)).back(),
            waiting);

  // Project id 0 and "" are no project: no project line, and the waiting text.
  for (const Value& none : {Value(0), Value(""), Value(false)}) {
    const auto text = generate_session_summary(cache.path(), none, std::nullopt);
    EXPECT_EQ(text.find("project:"), std::string::npos);
    EXPECT_EQ(lines_of(text).back(), waiting);
  }
}

TEST(SessionSummary, LogThatCannotBeDecodedLeavesThePendingLineOut)
{
  TempDir cache;
  cache.write("log.jsonl", pending_line(0) + "\xff\xfe\n");
  const auto lines = lines_of(generate_session_summary(cache.path(), Value(42), std::nullopt));
  EXPECT_EQ(lines.size(), 6U);
  EXPECT_EQ(lines.back(), "  cache: empty " + k_em + " run 'kolvex sync' to populate");
}

TEST(SessionSummary, SpecsCountDirectFilesWithSpecSuffixesOnly)
{
  TempDir cache;
  cache.write("specs/a.md", "# a");
  cache.write("specs/b.yml", "b: 1");
  cache.write("specs/notes.txt", "no");
  cache.write("specs/sub/c.md", "nested files do not count");
  cache.write("specs/upper.MD", "suffixes are matched exactly");
  EXPECT_EQ(lines_of(generate_session_summary(cache.path(), Value(), std::nullopt))[3],
            "  specs: 2");
  cache.write("specs/d.yaml", "d: 1");
  EXPECT_EQ(lines_of(generate_session_summary(cache.path(), Value(), std::nullopt))[3],
            "  specs: 3");
  // "specs" that is a file, not a directory, holds no specs.
  TempDir other;
  other.write("specs", "x");
  EXPECT_EQ(lines_of(generate_session_summary(other.path(), Value(), std::nullopt))[3],
            "  specs: 0");
}

TEST(SessionSummary, ElementsCountOnlyMapEntries)
{
  TempDir cache;
  const auto count = [&] {
    return lines_of(generate_session_summary(cache.path(), Value(), std::nullopt))[1];
  };
  cache.write("kolvexstate.yaml",
              "architecture:\n  elements:\n    api: {kind: service}\n    db: {kind: store}\n"
              "    note: just a string\n");
  EXPECT_EQ(count(), "  elements: 2");
  // Every shape that is not the expected nesting counts nothing, and never fails.
  for (const char* broken : {"",
                             "- a\n- b\n",
                             "architecture: [1, 2]\n",
                             "architecture:\n  elements: [a, b]\n",
                             "key: [unclosed\n",
                             "architecture:\n  elements:\n    x: \xff\n"}) {
    cache.write("kolvexstate.yaml", broken);
    EXPECT_EQ(count(), "  elements: 0") << broken;
  }
}

TEST(SessionSummary, WritesNothing)
{
  TempDir cache;
  cache.write("kolvexstate.yaml", "architecture:\n  elements:\n    a: {}\n");
  cache.write("kolvexrules.yaml", "adrs:\n  a: 1\n");
  write_pending(cache, 1);
  std::vector<stdfs::path> before;
  for (const auto& entry : stdfs::recursive_directory_iterator(cache.path())) {
    before.push_back(entry.path());
  }
  const auto state_time = stdfs::last_write_time(cache.path() / "kolvexstate.yaml");
  (void)generate_session_summary(cache.path(), Value(1), "codex");
  std::vector<stdfs::path> after;
  for (const auto& entry : stdfs::recursive_directory_iterator(cache.path())) {
    after.push_back(entry.path());
  }
  EXPECT_EQ(before, after);
  EXPECT_EQ(stdfs::last_write_time(cache.path() / "kolvexstate.yaml"), state_time);
}

} // namespace
} // namespace kolvex::services::relaycore::cache
