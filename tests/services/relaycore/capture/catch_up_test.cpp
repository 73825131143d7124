#include "services/relaycore/capture/catch_up.hpp"

#include "agents/registry.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "services/relaycore/capture/capture.hpp"
#include "support/agent_env.hpp"
#include "support/fake_adapter.hpp"
#include "support/repo.hpp"
#include "utils/filelock.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace kolvex::services::relaycore::capture {
namespace {

using contracts::SessionMatches;
using core::Value;
using testing::AgentEnv;
using testing::TempRepo;
namespace stdfs = std::filesystem;

// An active adapter in an ambient session (never to be credited for either) whose
// sessions `matches` claims by timing.
testing::FakeAdapter claiming(std::string name, const SessionMatches& matches)
{
  testing::FakeAdapter adapter(std::move(name), "test-provider", true);
  adapter.current_session = "ambient-session";
  adapter.claims = testing::timing_claims(matches);
  return adapter;
}

class CatchUp : public ::testing::Test {
protected:
  AgentEnv env; // a temporary HOME for every harness, no harness markers
  TempRepo repo;

  void configure(const std::string& config = "project_id: 42\n") const
  {
    repo.write(".kolvex/.platform/config.yaml", config);
  }

  // A commit whose author and committer dates are `date` (git's date syntax).
  std::string commit_at(const std::string& file, const std::string& date) const
  {
    return repo.commit_file_at(file, file, "change " + file, date);
  }

  std::string commit(const std::string& file) const
  {
    return repo.commit_file(file, file, "change " + file);
  }

  [[nodiscard]] bool archived(const std::string& sha) const
  {
    return stdfs::exists(paths::attestations_dir(repo.path()) / (sha + ".yaml"));
  }

  [[nodiscard]] Value archive(const std::string& sha) const
  {
    return core::yaml::load(
        core::fs::read_text(paths::attestations_dir(repo.path()) / (sha + ".yaml")));
  }

  [[nodiscard]] std::vector<std::string>
  commits_of(const std::vector<BackfillResult>& results) const
  {
    std::vector<std::string> shas;
    for (const auto& result : results) {
      EXPECT_TRUE(result.written) << result.commit << ": " << result.reason;
      shas.push_back(result.commit);
    }
    return shas;
  }
};

TEST_F(CatchUp, RepositoryNeverSetUpIsLeftWithoutATrace)
{
  commit("a.txt");
  EXPECT_TRUE(catch_up_commits(repo.path()).empty());
  EXPECT_TRUE(_walk_and_record(repo.handle(), 50).empty());
  EXPECT_FALSE(stdfs::exists(repo.path() / ".kolvex"));
}

TEST_F(CatchUp, RecordsEveryUnrecordedCommitSinceSetupNewestFirst)
{
  configure("installed_at: '2024-05-01T10:00:00Z'\n");
  const auto before = commit_at("before.txt", "2024-05-01T09:00:00Z");
  const auto same_second = commit_at("same.txt", "2024-05-01T10:00:00Z");
  const auto failed = commit_at("failed.txt", "2024-05-01T11:00:00Z"); // its capture failed
  const auto recorded = commit_at("recorded.txt", "2024-05-01T12:00:00Z");
  CaptureOptions direct;
  direct.consume_pending = false;
  ASSERT_TRUE(capture_commit(repo.path(), recorded, direct).written);
  const auto b = commit_at("b.txt", "2024-05-01T13:00:00Z");
  const auto c = commit_at("c.txt", "2024-05-01T14:00:00Z");

  const auto results = catch_up_commits(repo.path());
  EXPECT_EQ(commits_of(results), (std::vector<std::string>{c, b, failed}));
  // Behind a recorded commit, history from before the setup (its own second too,
  // which may predate it) is not new work.
  EXPECT_FALSE(archived(before));
  EXPECT_FALSE(archived(same_second));
  for (const auto& sha : {b, c, failed}) {
    const auto record = archive(sha);
    EXPECT_EQ(*record.get_string("source"), "catch_up");
  }
  // Nothing is left: the next session start hands nothing to capture.
  EXPECT_TRUE(catch_up_commits(repo.path()).empty());
}

TEST_F(CatchUp, FirstRunSkipsHistoryBeforeInstallation)
{
  configure("installed_at: '2024-05-01T10:00:00Z'\n");
  const auto before = commit_at("before.txt", "2024-05-01T09:59:59Z");
  const auto same_second = commit_at("same.txt", "2024-05-01T10:00:00Z");
  const auto after = commit_at("after.txt", "2024-05-01T10:00:01Z");

  EXPECT_EQ(commits_of(catch_up_commits(repo.path())),
            (std::vector<std::string>{after, same_second}));
  EXPECT_FALSE(archived(before));

  // Once anything is recorded the floor is gone: an old-dated commit on top is
  // recorded too.
  const auto backdated = commit_at("backdated.txt", "2024-04-01T00:00:00Z");
  EXPECT_EQ(commits_of(catch_up_commits(repo.path())), std::vector<std::string>{backdated});
}

TEST_F(CatchUp, InstallationTimeWithAnOffsetIsTheSameInstant)
{
  configure("installed_at: '2024-05-01T12:00:00+02:00'\n");
  const auto before = commit_at("before.txt", "2024-05-01T09:59:59Z");
  const auto same_second = commit_at("same.txt", "2024-05-01T10:00:00Z");
  EXPECT_EQ(commits_of(catch_up_commits(repo.path())), std::vector<std::string>{same_second});
  EXPECT_FALSE(archived(before));
}

TEST_F(CatchUp, InstalledAtReadings)
{
  const double may_first = 1714557600; // 2024-05-01T10:00:00Z
  const std::vector<std::pair<std::string, std::optional<double>>> cases = {
      {"installed_at: '2024-05-01T10:00:00Z'\n", may_first},
      {"installed_at: '2024-05-01T12:00:00+02:00'\n", may_first},
      {"installed_at: '2024-05-01T10:00:00'\n", may_first}, // no zone: UTC
      {"installed_at: '2024-05-01T10:00:00.999Z'\n", may_first},
      {"installed_at: '1969-12-31T23:59:59.5Z'\n", -0.0}, // truncated towards zero
      {"installed_at: 'last tuesday'\n", std::nullopt},
      {"installed_at: 1714557600\n", std::nullopt},          // not text
      {"installed_at: 2024-05-01 10:00:00\n", std::nullopt}, // a YAML timestamp, not text
      {"project_id: 1\n", std::nullopt},
      {"[unclosed\n", std::nullopt},
  };
  for (const auto& [config, expected] : cases) {
    configure(config);
    EXPECT_EQ(_installed_at(repo.path()), expected) << config;
  }
}

TEST_F(CatchUp, AnchorFallsBackToTheConfigurationFilesWholeSecond)
{
  EXPECT_FALSE(_config_anchor(repo.path()).has_value());

  const auto legacy_json = repo.write(".kolvex/config.json", "{}");
  testing::set_mtime(legacy_json, 1'600'000'000);
  EXPECT_EQ(_config_anchor(repo.path()), 1'600'000'000.0);

  const auto legacy_yaml = repo.write(".kolvex/config.yaml", "{}\n");
  testing::set_mtime(legacy_yaml, 1'650'000'000);
  EXPECT_EQ(_config_anchor(repo.path()), 1'650'000'000.0);

  configure("installed_at: not a date\n");
  const auto current = paths::local_config(repo.path());
  struct timespec times[2] = {{1'700'000'000, 900'000'000}, {1'700'000'000, 900'000'000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, current.c_str(), times, 0), 0);
  EXPECT_EQ(_config_anchor(repo.path()), 1'700'000'000.0);

  configure("installed_at: '2024-05-01T10:00:00Z'\n");
  EXPECT_EQ(_config_anchor(repo.path()), 1714557600.0);
}

TEST_F(CatchUp, MalformedInstalledAtUsesTheConfigurationTime)
{
  configure("installed_at: garbage\n");
  testing::set_mtime(paths::local_config(repo.path()), 1714557600); // 2024-05-01T10:00:00Z
  const auto before = commit_at("before.txt", "2024-05-01T09:00:00Z");
  const auto after = commit_at("after.txt", "2024-05-01T11:00:00Z");
  EXPECT_EQ(commits_of(catch_up_commits(repo.path())), std::vector<std::string>{after});
  EXPECT_FALSE(archived(before));
}

TEST_F(CatchUp, NothingRecordedYetLooksAtTheLogAndTheArchive)
{
  EXPECT_TRUE(_nothing_recorded_yet(repo.handle()));
  repo.write(".kolvex/.platform/log.jsonl", "");
  repo.write(".kolvex/.platform/attestations/abc.ledger.jsonl", "{}\n");
  repo.write(".kolvex/.platform/attestations/.hidden.yaml", "x: 1\n");
  EXPECT_TRUE(_nothing_recorded_yet(repo.handle()));
  repo.write(".kolvex/.platform/attestations/abc.yaml", "x: 1\n");
  EXPECT_FALSE(_nothing_recorded_yet(repo.handle()));
  stdfs::remove(repo.path() / ".kolvex/.platform/attestations/abc.yaml");
  repo.write(".kolvex/.platform/log.jsonl", "\n");
  EXPECT_FALSE(_nothing_recorded_yet(repo.handle()));
}

TEST_F(CatchUp, ExactlyOneClaimNamesTheSession)
{
  configure();
  repo.git({"checkout", "-q", "-b", "feat/login"});
  const auto first = commit("one.txt");
  const auto second = commit("two.txt");
  testing::FakeAdapter claude =
      claiming("claude-code", {{second, {"s-1", "s-1"}}, {first, {"s-9"}}});
  testing::FakeAdapter codex = claiming("codex", {});
  agents::ScopedAdapters scope({&claude, &codex});

  const auto results = catch_up_commits(repo.path());
  EXPECT_EQ(commits_of(results), (std::vector<std::string>{second, first}));

  // Every adapter is asked once, for the whole batch, with the oldest commit's time.
  for (const auto* adapter : {&claude, &codex}) {
    EXPECT_EQ(adapter->claim_calls, 1);
    EXPECT_EQ(adapter->asked_shas, (std::vector<std::string>{second, first}));
    const double first_time = std::stod(repo.git({"log", "-1", "--format=%ct", first}));
    EXPECT_EQ(adapter->asked_since, first_time);
    EXPECT_EQ(adapter->asked_times.size(), 2U);
    EXPECT_EQ(adapter->asked_times.at(first), first_time);
  }

  // A session listed twice for a commit is still one claim.
  const auto record = archive(second);
  EXPECT_EQ(*record.get_string("agent"), "claude-code");
  EXPECT_EQ(*record.get_string("agent_session_id"), "s-1");
  // No task type from the branch, and the commit's own author as developer.
  EXPECT_EQ(record.get("task_type"), nullptr);
  const auto* developer = record.get("developer");
  ASSERT_NE(developer, nullptr);
  EXPECT_NE(core::json::dump(*developer).find("dev@example.com"), std::string::npos);
  EXPECT_EQ(*archive(first).get_string("agent_session_id"), "s-9");
}

TEST_F(CatchUp, SeveralClaimsLeaveTheCommitUnknown)
{
  configure();
  const auto by_two_adapters = commit("one.txt");
  const auto by_two_sessions = commit("two.txt");
  const auto unclaimed = commit("three.txt");
  testing::FakeAdapter claude =
      claiming("claude-code", {{by_two_adapters, {"s-1"}}, {by_two_sessions, {"s-2", "s-3"}}});
  testing::FakeAdapter codex = claiming("codex", {{by_two_adapters, {"t-1"}}});
  agents::ScopedAdapters scope({&claude, &codex});

  EXPECT_EQ(catch_up_commits(repo.path()).size(), 3U);
  for (const auto& sha : {by_two_adapters, by_two_sessions, unclaimed}) {
    const auto record = archive(sha);
    EXPECT_EQ(*record.get_string("agent"), "unknown") << sha;
    EXPECT_EQ(record.get("agent_session_id"), nullptr) << sha;
  }
}

TEST_F(CatchUp, FailingAdapterIsSkipped)
{
  configure();
  const auto first = commit("one.txt");
  const auto second = commit("two.txt");
  testing::FakeAdapter broken = claiming("claude-code", {{second, {"s-1"}}});
  broken.claims_throw = true;
  testing::FakeAdapter codex = claiming("codex", {{second, {"t-1"}}});
  agents::ScopedAdapters scope({&broken, &codex});

  EXPECT_EQ(commits_of(catch_up_commits(repo.path())), (std::vector<std::string>{second, first}));
  EXPECT_EQ(codex.claim_calls, 1);
  EXPECT_EQ(*archive(second).get_string("agent"), "codex");
  EXPECT_EQ(*archive(second).get_string("agent_session_id"), "t-1");
  EXPECT_EQ(*archive(first).get_string("agent"), "unknown");
}

TEST_F(CatchUp, LimitBoundsTheWalk)
{
  configure();
  const auto first = commit("one.txt");
  const auto head = commit("two.txt");
  EXPECT_EQ(commits_of(catch_up_commits(repo.path(), 1)), std::vector<std::string>{head});
  EXPECT_FALSE(archived(first));
}

TEST_F(CatchUp, PendingAttestationIsLeftAlone)
{
  configure();
  const auto sha = commit("one.txt");
  const std::string pending = "staged_diff_hash: abc\nmodel: m\nsummary: not this commit\n";
  repo.write(".kolvex/.commit-attestation.yaml", pending);
  const auto results = catch_up_commits(repo.path());
  ASSERT_EQ(results.size(), 1U);
  EXPECT_TRUE(results[0].written);
  EXPECT_FALSE(results[0].attested);
  EXPECT_EQ(*archive(sha).get_string("agent"), "unknown");
  EXPECT_EQ(repo.read(".kolvex/.commit-attestation.yaml"), pending);
}

TEST_F(CatchUp, RepositoryWithoutCommitsRecordsNothing)
{
  configure();
  EXPECT_TRUE(catch_up_commits(repo.path()).empty());
  EXPECT_FALSE(stdfs::exists(paths::log_jsonl(repo.path())));
}

// Another process holds the log lock for longer than the walk waits: the walk
// gives up after its 30 seconds and records nothing.
using CatchUpSlow = CatchUp;
TEST_F(CatchUpSlow, LockHeldElsewhere)
{
  configure();
  commit("one.txt");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    const auto lock = utils::filelock::locked(paths::confined(paths::log_jsonl(repo.path())), 0.0);
    const char byte = lock.acquired() ? '1' : '0';
    (void)!::write(ready[1], &byte, 1);
    ::sleep(60);
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ASSERT_EQ(byte, '1');

  const auto start = std::chrono::steady_clock::now();
  const auto results = catch_up_commits(repo.path());
  const double waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);

  EXPECT_TRUE(results.empty());
  EXPECT_GE(waited, 29.0);
  EXPECT_LT(waited, 40.0);
  EXPECT_FALSE(stdfs::exists(paths::log_jsonl(repo.path())));
}

} // namespace
} // namespace kolvex::services::relaycore::capture
