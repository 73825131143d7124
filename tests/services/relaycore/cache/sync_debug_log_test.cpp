// The sync debug log: the switch, the record layout, the size cap and the mode.
#include "services/relaycore/cache/sync_debug_log.hpp"

#include "contracts/api_client.hpp"
#include "core/fs.hpp"
#include "paths.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace paths = kolvex::paths;

namespace cache = kolvex::services::relaycore::cache;
using kolvex::testing::ScopedEnv;
using kolvex::testing::TempDir;
namespace stdfs = std::filesystem;

TEST(SyncDebugLog, SwitchIsReadOnEveryCall)
{
  ScopedEnv env;
  env.unset("KOLVEX_DEBUG");
  EXPECT_FALSE(cache::kolvex_debug_enabled());
  for (const char* on : {"1", "true", "YES", " On ", "on\n"}) {
    env.set("KOLVEX_DEBUG", on);
    EXPECT_TRUE(cache::kolvex_debug_enabled()) << on;
  }
  for (const char* off : {"0", "false", "no", "off", "2", "", "enabled"}) {
    env.set("KOLVEX_DEBUG", off);
    EXPECT_FALSE(cache::kolvex_debug_enabled()) << off;
  }
}

// One record: a blank line, the header with time and stage, then the trace ending
// in the class name and message.
TEST(SyncDebugLog, RecordLayout)
{
  TempDir repo;
  const auto written = cache::_write_sync_debug_log(
      repo.handle(), "fetch_context", kolvex::contracts::ApiError("HTTP 500 from https://x/v1"));
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, kolvex::paths::sync_log(repo.path()));
  const std::string text = repo.read(".kolvex/.platform/logs/sync.log");
  ASSERT_TRUE(text.starts_with("\n--- ")) << text;
  const std::size_t header_end = text.find(" ---\n", 5);
  ASSERT_NE(header_end, std::string::npos);
  const std::string header = text.substr(5, header_end - 5);
  // 2026-12-07T12:00:00Z stage=fetch_context
  ASSERT_EQ(header.size(), 20U + 1 + 19);
  EXPECT_EQ(header[10], 'T');
  EXPECT_EQ(header[19], 'Z');
  EXPECT_EQ(header.substr(20), " stage=fetch_context");
  EXPECT_NE(text.find("Traceback"), std::string::npos);
  EXPECT_TRUE(text.ends_with("ApiError: HTTP 500 from https://x/v1\n")) << text;

  ASSERT_TRUE(cache::_write_sync_debug_log(
      repo.handle(), "write_local_caches", std::runtime_error("second")));
  const std::string both = repo.read(".kolvex/.platform/logs/sync.log");
  EXPECT_TRUE(both.starts_with(text + "\n--- ")) << both;
  EXPECT_NE(both.find(" stage=write_local_caches ---\n"), std::string::npos);
}

TEST(SyncDebugLog, CutToTheLastHalfOnlyPastTheCap)
{
  TempDir repo;
  const stdfs::path log = repo.path() / ".kolvex/.platform/logs/sync.log";
  const std::string at_cap(cache::k_sync_log_cap_bytes, 'a');
  repo.write(".kolvex/.platform/logs/sync.log", at_cap);
  ASSERT_TRUE(cache::_write_sync_debug_log(repo.handle(), "s", std::runtime_error("x")));
  EXPECT_TRUE(repo.read(".kolvex/.platform/logs/sync.log").starts_with(at_cap + "\n--- "));

  const std::string over = std::string(1, 'o') + std::string(cache::k_sync_log_keep_bytes, 'k');
  repo.write(".kolvex/.platform/logs/sync.log",
             std::string(cache::k_sync_log_cap_bytes + 1 - over.size(), 'h') + over);
  ASSERT_EQ(stdfs::file_size(log), cache::k_sync_log_cap_bytes + 1);
  ASSERT_TRUE(cache::_write_sync_debug_log(repo.handle(), "s", std::runtime_error("x")));
  const std::string cut = repo.read(".kolvex/.platform/logs/sync.log");
  EXPECT_TRUE(cut.starts_with(std::string(cache::k_sync_log_keep_bytes, 'k') + "\n--- "))
      << cut.substr(0, 10);
}

TEST(SyncDebugLog, OwnerOnlyEvenWhenItWasWider)
{
  TempDir repo;
  repo.write(".kolvex/.platform/logs/sync.log", "old\n");
  const stdfs::path log = repo.path() / ".kolvex/.platform/logs/sync.log";
  ::chmod(log.c_str(), 0644);
  ASSERT_TRUE(cache::_write_sync_debug_log(repo.handle(), "s", std::runtime_error("x")));
  struct stat st {};
  ASSERT_EQ(::stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600U);
  stdfs::remove(log);
  ASSERT_TRUE(cache::_write_sync_debug_log(repo.handle(), "s", std::runtime_error("x")));
  ASSERT_EQ(::stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600U);
}

// No directory can be made, or the log is a link out of the repository: nothing
// is written anywhere and no exception escapes.
TEST(SyncDebugLog, FailureIsNoPathAndNoException)
{
  TempDir repo;
  repo.write(".kolvex/.platform/logs", "a file where the log directory belongs\n");
  EXPECT_FALSE(cache::_write_sync_debug_log(repo.handle(), "s", std::runtime_error("x")));

  TempDir linked;
  TempDir outside;
  outside.write("sync.log", "outside\n");
  stdfs::create_directories(linked.path() / ".kolvex/.platform/logs");
  stdfs::create_symlink(outside.path() / "sync.log",
                        linked.path() / ".kolvex/.platform/logs/sync.log");
  EXPECT_FALSE(cache::_write_sync_debug_log(
      paths::RepositoryHandle(linked.path()), "s", std::runtime_error("x")));
  EXPECT_EQ(outside.read("sync.log"), "outside\n");
}
