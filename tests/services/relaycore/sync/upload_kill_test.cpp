// A first sync killed at random moments, then run again: every record reaches the
// server, no line is ever marked before the server has it, and the log stays whole.
#include "services/relaycore/sync/upload.hpp"

#include "protocol/http_loader.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "support/upload_repo.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace kolvex::services::relaycore::sync {
namespace {

namespace stdfs = std::filesystem;
using core::Value;
using testing::DevServer;
using testing::sha_of;
using testing::UploadRepo;

constexpr unsigned k_records = 20000;
constexpr int k_kills = 20;

class UploadKilled : public testing::DevServerUploadTest {
protected:
  // The commits the server holds for `project`, each as often as it is stored.
  static std::multiset<std::string> stored(const DevServer& server, const Value& project)
  {
    std::multiset<std::string> commits;
    for (const Value& row : server.attestations(project.as_int())) {
      commits.insert(row.get("commit")->as_string());
    }
    return commits;
  }

  // The log's lines, parsed (a line that is not JSON fails the test), by commit:
  // whether each is marked synced.
  std::map<std::string, bool> marks() const
  {
    std::map<std::string, bool> out;
    for (const Value& line : repo.lines()) {
      const Value* synced = line.get("synced");
      EXPECT_TRUE(synced != nullptr && synced->kind() == Value::Kind::boolean);
      out[line.get("commit")->as_string()] = synced != nullptr && core::truthy(*synced);
    }
    return out;
  }
};

TEST_F(UploadKilled, KillsAtRandomMomentsLoseNothingAndMarkNothingEarly)
{
  DevServer server;
  const Value project = project_on(server);
  // Written directly: 20,000 records through the locked writer take far longer.
  stdfs::create_directories(repo.archives());
  {
    std::ofstream log(repo.log(), std::ios::binary);
    for (unsigned i = 0; i < k_records; ++i) {
      const std::string commit = sha_of('d', i);
      log << log::log_line_text(UploadRepo::line(commit, "record " + std::to_string(i)));
      std::ofstream(repo.archives() / (commit + ".yaml"))
          << "summary: record " << i << "\nmodel: m\nfiles: [a.cpp]\n";
    }
  }

  std::mt19937 rng(27);
  std::size_t cut_short = 0;
  for (int kill = 0; kill < k_kills; ++kill) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      (void)upload_attestations(
          server.api_key(), server.url(), repo.path(), repo.archives(), project);
      ::_exit(0);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 600));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    cut_short += WIFSIGNALED(status) ? 1 : 0;

    const std::multiset<std::string> on_server = stored(server, project);
    for (const auto& [commit, synced] : marks()) {
      ASSERT_TRUE(!synced || on_server.contains(commit))
          << "kill " << kill << ": " << commit << " marked but not on the server";
    }
  }
  EXPECT_GE(cut_short, static_cast<std::size_t>(k_kills / 2)); // most kills hit a running sync

  const UploadResult last =
      upload_attestations(server.api_key(), server.url(), repo.path(), repo.archives(), project);
  EXPECT_TRUE(last.ok) << last.error.value_or("");
  const std::multiset<std::string> on_server = stored(server, project);
  EXPECT_EQ(on_server.size(), k_records);
  const std::map<std::string, bool> final_marks = marks();
  ASSERT_EQ(final_marks.size(), k_records);
  for (const auto& [commit, synced] : final_marks) {
    ASSERT_EQ(on_server.count(commit), 1u) << commit;
    ASSERT_TRUE(synced) << commit;
  }
  for (const auto& entry : stdfs::directory_iterator(repo.log().parent_path())) {
    EXPECT_FALSE(entry.path().filename().string().ends_with(".tmp")) << entry.path();
  }
}

} // namespace
} // namespace kolvex::services::relaycore::sync
