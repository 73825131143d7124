// The sync run against the local API server: what runs without credentials, the
// upload's outcome in the result map, and the self-heals, each on its own.
#include "services/relaycore/sync/sync_run.hpp"

#include "core/fs.hpp"
#include "hooks/scripts.hpp"
#include "paths.hpp"
#include "protocol/http_loader.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "support/e2e.hpp"
#include "support/fd_capture.hpp"
#include "support/upload_repo.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace kolvex::services::relaycore::sync {
namespace {

namespace stdfs = std::filesystem;
using core::Value;
using testing::DevServer;
using testing::sha_of;

class SyncRunTest : public testing::ScratchRepoTest {
protected:
  void SetUp() override
  {
    ScratchRepoTest::SetUp();
    env.set("KOLVEX_SKIP_PLATFORM_SKILLS", "1");
    repo.commit_file("a.txt", "one\n", "first");
    shared::save_local_config(repo.path(), core::Map{{"agents", core::List{"claude-code"}}});
  }

  // An unsynced record and its archive, as the commit path leaves them.
  void record(unsigned number) const
  {
    const std::string commit = sha_of('c', number);
    const stdfs::path archives = paths::attestations_dir(repo.path());
    stdfs::create_directories(archives);
    core::fs::atomic_replace(archives / (commit + ".yaml"), "summary: s\nmodel: m\n");
    log::_append_log_entry(paths::confined(paths::log_jsonl(repo.path())),
                           testing::UploadRepo::line(commit, "record"));
  }

  void write_pending() const
  {
    const stdfs::path pending = paths::commit_attestation(repo.path());
    stdfs::create_directories(pending.parent_path());
    core::fs::atomic_replace(pending, "model: claude-opus-4-6\nsummary: pending one\n");
  }

  [[nodiscard]] Value project_on(const DevServer& server) const
  {
    return *protocol::http_client()
                .resolve_project(server.target(), "git@x.example:t/r.git", std::nullopt)
                .get("projectId");
  }

  static bool flag(const core::Map& result, const char* key) { return result.find(key)->as_bool(); }

  contracts::ScopedApiClient real{protocol::http_client()};
};

TEST_F(SyncRunTest, WithoutKeyOrProjectNothingIsSentButLocalWorkIsDone)
{
  DevServer server;
  for (const auto& [key, project] :
       std::vector<std::pair<std::string, Value>>{{"", Value(1)},
                                                  {server.api_key(), Value()},
                                                  {server.api_key(), Value("")},
                                                  {server.api_key(), Value(0)}}) {
    write_pending();
    stdfs::remove(paths::example_attestation(repo.path()));
    const SyncRun run = run_sync_detailed(repo.handle(), key, server.url(), project);
    EXPECT_FALSE(run.upload); // nothing was sent
    const core::Map& result = run.result;
    ASSERT_EQ(result.size(), 2u);
    EXPECT_EQ(result.begin()->first, "attestations_uploaded"); // order kept
    EXPECT_FALSE(flag(result, "attestations_uploaded"));
    EXPECT_FALSE(flag(result, "cache_refreshed"));
    EXPECT_FALSE(stdfs::exists(paths::commit_attestation(repo.path())));
    EXPECT_EQ(core::fs::read_text(paths::example_attestation(repo.path())),
              hooks::scripts::example_attestation());
  }
  EXPECT_EQ(server.log().find("/v1/"), std::string::npos) << server.log();
}

TEST_F(SyncRunTest, UploadsAndReportsUploadedEvenWithNothingToSend)
{
  DevServer server;
  const Value project = project_on(server);
  record(1);
  record(2);
  const SyncRun run = run_sync_detailed(repo.handle(), server.api_key(), server.url(), project);
  ASSERT_TRUE(run.upload);
  EXPECT_EQ(run.upload->uploaded, 2);
  EXPECT_TRUE(flag(run.result, "attestations_uploaded"));
  EXPECT_EQ(log::read_attestation_log(paths::confined(paths::log_jsonl(repo.path()))).size(), 0u);

  const core::Map again = run_sync(repo.handle(), server.api_key(), server.url(), project);
  EXPECT_TRUE(flag(again, "attestations_uploaded"));
}

TEST_F(SyncRunTest, AFailedUploadKeepsTheRecordsAndStillReachesTheCacheStep)
{
  DevServer server({.args = {"--fail", "attestations=500"}});
  const Value project = project_on(server);
  record(1);
  const SyncRun run = run_sync_detailed(repo.handle(), server.api_key(), server.url(), project);
  ASSERT_TRUE(run.upload);
  EXPECT_FALSE(run.upload->ok);
  EXPECT_FALSE(flag(run.result, "attestations_uploaded"));
  // The cache is refreshed all the same: the map reads false, true.
  EXPECT_TRUE(flag(run.result, "cache_refreshed")) << run.cache_failure;
  EXPECT_EQ(log::read_attestation_log(paths::confined(paths::log_jsonl(repo.path()))).size(), 1u);
}

TEST_F(SyncRunTest, RefreshesTheContextCacheAndSaysWhereItFailed)
{
  DevServer server;
  const Value project = project_on(server);
  const SyncRun run = run_sync_detailed(repo.handle(), server.api_key(), server.url(), project);
  EXPECT_TRUE(flag(run.result, "cache_refreshed")) << run.cache_failure;
  EXPECT_TRUE(stdfs::exists(paths::platform_dir(repo.path()) / "context.yaml"));

  DevServer failing({.args = {"--fail", "/context$=500"}});
  const Value other = project_on(failing);
  const SyncRun failed = run_sync_detailed(repo.handle(), failing.api_key(), failing.url(), other);
  EXPECT_TRUE(flag(failed.result, "attestations_uploaded"));
  EXPECT_FALSE(flag(failed.result, "cache_refreshed"));
  EXPECT_EQ(failed.cache_failure, "failed at fetch_context (AgentApiError)");
}

TEST_F(SyncRunTest, AConfigThatIsNoMapSkipsBothAgentHealsButNotTheUpload)
{
  DevServer server;
  const Value project = project_on(server);
  record(1);
  core::fs::atomic_replace(paths::local_config(repo.path()), "- just\n- a list\n");
  env.set("KOLVEX_DEBUG", "1");
  testing::FdCapture err(2);
  const SyncRun run = run_sync_detailed(repo.handle(), server.api_key(), server.url(), project);
  const std::string text = err.text();
  EXPECT_NE(text.find("Agent hook self-heal skipped (best-effort)"), std::string::npos) << text;
  EXPECT_NE(text.find("Agent MCP self-heal skipped (best-effort)"), std::string::npos) << text;
  EXPECT_EQ(text.find("Gitignore self-heal skipped"), std::string::npos) << text;
  EXPECT_TRUE(run.upload.has_value()); // the upload still ran
}

TEST_F(SyncRunTest, AnExampleThatCannotBeWrittenIsLoggedAndTheSyncGoesOn)
{
  DevServer server;
  const Value project = project_on(server);
  stdfs::create_directories(paths::example_attestation(repo.path())); // a directory there
  env.set("KOLVEX_DEBUG", "1");
  testing::FdCapture err(2);
  const core::Map result = run_sync(repo.handle(), server.api_key(), server.url(), project);
  EXPECT_NE(err.text().find("Failed to refresh example-attestation.yaml"), std::string::npos);
  EXPECT_TRUE(flag(result, "attestations_uploaded"));
}

TEST_F(SyncRunTest, SelfHealsRepairTheRepositoryAndLeaveTheUsersLinesAlone)
{
  const stdfs::path hook = repo.path() / ".git" / "hooks" / "pre-push";
  stdfs::create_directories(hook.parent_path());
  core::fs::atomic_replace(hook,
                           "#!/bin/sh\n# my checks\nmake lint\nentire hooks git pre-push \"$1\"\n"
                           "echo entire hooks are gone\n");
  ::chmod(hook.c_str(), 0755);
  const stdfs::path only_entire = repo.path() / ".git" / "hooks" / "commit-msg";
  core::fs::atomic_replace(only_entire,
                           "#!/bin/sh\n/usr/local/bin/entire hooks git commit-msg \"$1\"\n");
  const core::Map result = run_sync(repo.handle(), "", "", Value());
  EXPECT_FALSE(flag(result, "attestations_uploaded"));

  EXPECT_EQ(core::fs::read_text(hook),
            "#!/bin/sh\n# my checks\nmake lint\necho entire hooks are gone\n");
  struct ::stat st {};
  ASSERT_EQ(::stat(hook.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_FALSE(stdfs::exists(only_entire));
  EXPECT_NE(core::fs::read_text(repo.path() / ".gitignore").find(".kolvex/.platform/"),
            std::string::npos);
  EXPECT_NE(core::fs::read_text(repo.path() / ".mcp.json").find("\"kolvex\""), std::string::npos);
  const std::string settings = core::fs::read_text(home.path() / "claude" / "settings.json");
  EXPECT_NE(settings.find("kolvex session-start"), std::string::npos);
}

} // namespace
} // namespace kolvex::services::relaycore::sync

namespace kolvex::services::relaycore::sync {
namespace {

TEST_F(SyncRunTest, AUserHookDeclinedAtSetupIsNotPutBack)
{
  shared::save_local_config(
      repo.path(), core::Map{{"agents", core::List{"claude-code"}}, {"user_hooks", false}});
  (void)run_sync(repo.handle(), "", "", Value());
  EXPECT_FALSE(stdfs::exists(home.path() / "claude" / "settings.json"));
  EXPECT_TRUE(stdfs::exists(repo.path() / ".mcp.json")); // the other heals still ran
}

} // namespace
} // namespace kolvex::services::relaycore::sync
