// Hooks append to the log while a sync marks it: no appended record may be lost to
// the marking's rewrite, over many rounds.
#include "services/relaycore/sync/synced_marker.hpp"

#include "services/relaycore/log/attestation_log.hpp"
#include "support/upload_repo.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kolvex::services::relaycore::sync {
namespace {

using testing::sha_of;
using testing::UploadRepo;

TEST(MarkSyncedConcurrency, AppendsByOtherProcessesSurviveEveryRound)
{
  constexpr unsigned k_appenders = 4;
  constexpr unsigned k_appends = 300;
  constexpr unsigned k_seeded = 400;
  UploadRepo repo;
  for (unsigned i = 0; i < k_seeded; ++i) {
    repo.record(sha_of('s', i), "seed", false);
  }

  std::vector<pid_t> children;
  for (unsigned a = 0; a < k_appenders; ++a) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      int code = 0;
      try {
        for (unsigned j = 0; j < k_appends; ++j) {
          repo.record(sha_of('a', a * 10000 + j), "appended", false);
        }
      } catch (...) {
        code = 1;
      }
      ::_exit(code);
    }
    children.push_back(pid);
  }

  // Mark the seeded records ten at a time, as batches would, until the appenders
  // are done; real batches wait on the network between rewrites, hence the pause.
  SyncedMarker marker(repo.log());
  unsigned rounds = 0;
  unsigned reused = 0;
  std::size_t running = children.size();
  while (running > 0 || rounds * 10 < k_seeded) {
    std::set<std::string> commits;
    for (unsigned k = 0; k < 10; ++k) {
      commits.insert(sha_of('s', (rounds * 10 + k) % k_seeded));
    }
    reused += marker.mark(commits).reused ? 1 : 0;
    ++rounds;
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    running = 0;
    for (pid_t& pid : children) {
      int status = 0;
      if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        pid = 0;
      }
      running += pid > 0 ? 1 : 0;
    }
  }
  EXPECT_GE(rounds, 40u);
  EXPECT_GT(reused, 0u);

  std::map<std::string, int> seen;
  for (const auto& line : repo.lines()) {
    ++seen[line.get("commit")->as_string()];
  }
  EXPECT_EQ(seen.size(), k_seeded + k_appenders * k_appends);
  for (unsigned a = 0; a < k_appenders; ++a) {
    for (unsigned j = 0; j < k_appends; ++j) {
      ASSERT_EQ(seen[sha_of('a', a * 10000 + j)], 1) << "appender " << a << " record " << j;
    }
  }
  const auto log = log::read_attestation_log(paths::confined(repo.log()));
  EXPECT_EQ(log.uploaded, static_cast<std::int64_t>(k_seeded));
  EXPECT_EQ(log.corrupt, 0);
}

} // namespace
} // namespace kolvex::services::relaycore::sync
