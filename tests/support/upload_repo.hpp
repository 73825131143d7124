#pragma once

// Helpers of the upload tests: a directory set up as a repository that has records
// to send.

#include "agents/registry.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "protocol/http_loader.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "support/devserver.hpp"
#include "support/fake_api_client.hpp"
#include "support/records.hpp"
#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace kolvex::testing {

// A full 40-digit sha made of `prefix` and `number`.
inline std::string sha_of(char prefix, unsigned number)
{
  char tail[9];
  std::snprintf(tail, sizeof tail, "%08x", number);
  return std::string(32, prefix) + tail;
}

// A repository root with a local configuration, ready for records.
class UploadRepo : public TempDir {
public:
  UploadRepo() { services::shared::save_local_config(path(), core::Map{{"project_id", 1}}); }

  [[nodiscard]] stdfs::path log() const { return paths::log_jsonl(path()); }
  [[nodiscard]] stdfs::path archives() const { return paths::attestations_dir(path()); }

  // Appends an unsynced line for `commit` and, when `archive`, its archived
  // attestation (with a date, which only the JSON-safe pass turns into text).
  void record(const std::string& commit, const std::string& summary, bool archive = true) const
  {
    if (archive) {
      stdfs::create_directories(archives());
      core::fs::atomic_replace(archives() / (commit + ".yaml"),
                               "summary: " + summary +
                                   "\nmodel: claude-opus-4-6\nday: 2024-05-01\n");
    }
    services::relaycore::log::_append_log_entry(paths::confined(log()), line(commit, summary));
  }

  // The log line `record` writes.
  static core::Map line(const std::string& commit, const std::string& summary)
  {
    return core::Map{{"commit", commit},
                     {"branch", "main"},
                     {"timestamp", "2024-05-01T10:00:00Z"},
                     {"agent", "claude-code"},
                     {"summary", summary},
                     {"synced", false}};
  }

  // The parsed lines of the log (every line must be JSON).
  [[nodiscard]] std::vector<core::Value> lines() const
  {
    std::vector<core::Value> out;
    const std::string text = core::fs::read_text(log());
    for (const auto line : core::fs::splitlines(text)) {
      out.push_back(core::json::parse(line));
    }
    return out;
  }

  // How many lines carry "synced": true.
  [[nodiscard]] std::size_t synced_count() const
  {
    std::size_t count = 0;
    for (const auto& line : lines()) {
      const core::Value* synced = line.get("synced");
      count += synced != nullptr && *synced == core::Value(true) ? 1 : 0;
    }
    return count;
  }
};

// The base of upload tests: a temporary HOME, no harness detected and no
// AGENT_SESSION_ID, so that what an upload finds is what the test put there.
class UploadTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    isolate_environment(m_env, m_home);
    m_env.unset("AGENT_SESSION_ID");
  }

  ScopedEnv m_env;
  TempDir m_home;
  agents::ScopedAdapters no_harness{{}};
  UploadRepo repo;
};

// Upload tests against a kolvex-devserver, through the real client loaded as the
// front end loads it.
class DevServerUploadTest : public UploadTest {
protected:
  // The project the server keeps for the test repository.
  static core::Value project_on(const DevServer& server)
  {
    return *protocol::http_client()
                .resolve_project(server.target(), "git@example.com:t/repo.git", std::nullopt)
                .get("projectId");
  }

  contracts::ScopedApiClient real{protocol::http_client()};
};

} // namespace kolvex::testing
