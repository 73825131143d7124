// The upload end to end: the real client, loaded as the front end loads it, against
// the local API server on a loopback port.
#include "services/relaycore/sync/upload.hpp"

#include "core/logging.hpp"
#include "protocol/http_loader.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "support/fd_capture.hpp"
#include "support/upload_repo.hpp"

#include <gtest/gtest.h>

#include <chrono>

namespace kolvex::services::relaycore::sync {
namespace {

namespace stdfs = std::filesystem;
using core::Value;
using testing::DevServer;
using testing::sha_of;

class UploadToDevServer : public testing::DevServerUploadTest {
protected:
  UploadResult upload(const DevServer& server, const Value& project)
  {
    return upload_attestations(
        server.api_key(), server.url(), repo.path(), repo.archives(), project);
  }

  // What the server stored for `project`, from its admin listing.
  static core::List stored(const DevServer& server, const Value& project)
  {
    return server.attestations(project.as_int());
  }
};

TEST_F(UploadToDevServer, RecordsAreUploadedThenMarked)
{
  DevServer server;
  const Value project = project_on(server);
  for (unsigned i = 0; i < 5; ++i) {
    repo.record(sha_of('a', i), "record " + std::to_string(i));
  }
  const UploadResult result = upload(server, project);
  EXPECT_TRUE(result.ok) << result.error.value_or("");
  EXPECT_EQ(result.uploaded, 5);
  EXPECT_EQ(repo.synced_count(), 5u);
  const core::List rows = stored(server, project);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].get("commit")->as_string(), sha_of('a', 0));
  EXPECT_TRUE(rows[0].get("session_id")->is_null()); // no session known: no header
  EXPECT_EQ(*rows[0].get("record")->get("attestation")->get("day"), Value("2024-05-01"));

  // Nothing left: no request at all.
  EXPECT_TRUE(upload(server, project).already_synced);
}

TEST_F(UploadToDevServer, AFailedSecondBatchKeepsTheFirstAndTheNextRunSendsTheRest)
{
  DevServer server({.args = {"--fail", "attestations$=500x1@2"}});
  const Value project = project_on(server);
  for (unsigned i = 0; i < 250; ++i) {
    repo.record(sha_of('a', i), "r", false);
  }
  UploadResult result = upload(server, project);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "injected failure (HTTP 500)");
  EXPECT_EQ(result.uploaded, 100);
  EXPECT_EQ(repo.synced_count(), 100u);
  EXPECT_EQ(stored(server, project).size(), 100u);

  result = upload(server, project);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.uploaded, 150);
  EXPECT_EQ(repo.synced_count(), 250u);
  EXPECT_EQ(stored(server, project).size(), 250u);

  ASSERT_EQ(server.stop(), 0);
  const std::string log = server.log();
  std::size_t posts = 0;
  for (std::size_t at = log.find("POST /v1/projects/1/attestations"); at != std::string::npos;
       at = log.find("POST /v1/projects/1/attestations", at + 1)) {
    ++posts;
  }
  EXPECT_EQ(posts, 2u + 2u); // the third batch of the first run was never tried
}

TEST_F(UploadToDevServer, ACorruptArchiveIsSkippedAndCounted)
{
  DevServer server;
  const Value project = project_on(server);
  repo.record(sha_of('a', 1), "good");
  repo.record(sha_of('a', 2), "bad");
  repo.write(repo.archives().lexically_relative(repo.path()) / (sha_of('a', 2) + ".yaml"),
             "a: [\n");
  const UploadResult result = upload(server, project);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.uploaded, 1);
  EXPECT_EQ(result.skipped_invalid, 1);
  EXPECT_EQ(stored(server, project).size(), 1u);
  EXPECT_EQ(log::read_attestation_log(paths::confined(repo.log())).size(),
            1u); // still pending, not lost
}

TEST_F(UploadToDevServer, TheSessionHeaderReachesTheServerOnlyWhenKnown)
{
  DevServer server;
  const Value project = project_on(server);
  repo.record(sha_of('a', 1), "without");
  ASSERT_TRUE(upload(server, project).ok);
  m_env.set("AGENT_SESSION_ID", "session-42");
  repo.record(sha_of('a', 2), "with");
  ASSERT_TRUE(upload(server, project).ok);
  const core::List rows = stored(server, project);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].get("session_id")->is_null());
  EXPECT_EQ(*rows[1].get("session_id"), Value("session-42"));
}

TEST_F(UploadToDevServer, ASlowServerIsCutOffByTheBudget)
{
  DevServer server({.args = {"--delay", "attestations=6000"}});
  const Value project = project_on(server);
  repo.record(sha_of('a', 1), "slow");
  const auto start = std::chrono::steady_clock::now();
  UploadResult result;
  {
    auto budget = contracts::network_budget(1.0);
    result = upload(server, project);
  }
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, "network budget exhausted");
  EXPECT_LT(took, 2.5);
  EXPECT_EQ(log::read_attestation_log(paths::confined(repo.log())).size(), 1u);
}

TEST_F(UploadToDevServer, TheKeyNeverShowsInAnythingCaptured)
{
  const std::string key = "sk-live-SECRET-7f3a9c1e5b";
  m_env.set("KOLVEX_DEBUG", "1");
  std::string captured;
  std::vector<UploadResult> results;
  {
    testing::FdCapture out(1);
    testing::FdCapture err(2);
    DevServer server({.api_key = key, .args = {"--fail", "attestations=503x2@2"}});
    const Value project = project_on(server);
    for (unsigned i = 0; i < 3; ++i) {
      repo.record(sha_of('a', i), "r" + std::to_string(i));
    }
    results.push_back(upload(server, project)); // accepted
    repo.record(sha_of('a', 9), "again");
    results.push_back(upload(server, project)); // 503 twice: retried, then failed
    results.push_back(upload_attestations("sk-live-WRONG-0000000000",
                                          server.url(),
                                          repo.path(),
                                          repo.archives(),
                                          project)); // refused
    const std::string url = server.url();
    ASSERT_EQ(server.stop(), 0);
    results.push_back(upload(server, project)); // nobody listening
    captured += server.log();
    captured += out.text();
    captured += err.text();
  }
  ASSERT_EQ(results.size(), 4u);
  EXPECT_TRUE(results[0].ok);
  EXPECT_EQ(results[1].error, "injected failure (HTTP 503)");
  EXPECT_EQ(results[2].error, "The API key was rejected.");
  ASSERT_TRUE(results[3].error.has_value());
  for (const auto& result : results) {
    captured += result.error.value_or("") + "\n";
  }
  for (const auto& entry : stdfs::recursive_directory_iterator(repo.path())) {
    if (entry.is_regular_file()) {
      captured += core::fs::read_bytes(entry.path());
    }
  }
  EXPECT_NE(captured.find("POST /v1/projects/1/attestations 503"), std::string::npos);
  EXPECT_EQ(captured.find("SECRET"), std::string::npos);
  EXPECT_EQ(captured.find("WRONG"), std::string::npos);
}

} // namespace
} // namespace kolvex::services::relaycore::sync
