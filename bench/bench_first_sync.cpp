// The first sync of a repository that never synced: 20,000 pending records (a log
// of about 30 MB, an archived attestation for each) uploaded to kolvex-devserver on
// loopback by upload_attestations, through the real libcurl client.  200 batches,
// each marked synced in the log before the next is sent.  Target: under 20 s.
//
// The share spent marking is measured beside it in the same run: the same 200
// markings replayed on a fresh copy of the same log, without the network
// (mark_ms, per batch), next to what one marking costs when every line is parsed
// and dumped again (plain_mark_ms).
#include "contracts/api_client.hpp"
#include "core/json.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "protocol/http_loader.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/sync/synced_marker.hpp"
#include "services/relaycore/sync/upload.hpp"
#include "support/devserver.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

namespace {

namespace stdfs = std::filesystem;
namespace sync = kolvex::services::relaycore::sync;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;

constexpr unsigned k_records = 20'000;

std::string sha(unsigned n)
{
  char text[41];
  std::snprintf(text, sizeof text, "%08x%032x", n, n * 2654435761u);
  return text;
}

// A record as the capture path writes it for an attested commit of a real session.
Map log_line(unsigned n)
{
  return Map{
      {"commit", sha(n)},
      {"branch", "feature/rate-limits"},
      {"timestamp", "2026-01-02T03:04:05Z"},
      {"agent", "claude-code"},
      {"summary",
       "Added per-route rate limiting with a sliding window, moved the limits into "
       "configuration and covered the burst and refill cases with tests (" +
           std::to_string(n) + ")"},
      {"synced", false},
      {"agent_provider", "anthropic"},
      {"agent_session_id", "5f0c6d1e-8a7b-4c3d-9e2f-" + std::to_string(100000000000 + n)},
      {"developer",
       Map{{"name", "Dana Developer"}, {"email", "dana@example.com"}, {"source", "git"}}},
      {"telemetry",
       Map{{"model", "claude-opus-4-6"},
           {"tokens",
            Map{{"input", 182734},
                {"output", 23817},
                {"cache_read", 1928374},
                {"cache_creation", 82734}}},
           {"session_id", "5f0c6d1e-8a7b-4c3d-9e2f-" + std::to_string(100000000000 + n)},
           {"source", "transcript"},
           {"agent_runtime", "claude-code/2.1.3"},
           {"tool_calls", 47},
           {"duration_seconds", 1834.5},
           {"files_touched",
            List{"src/http/limits.py",
                 "src/http/middleware.py",
                 "tests/http/test_limits.py",
                 "docs/configuration.md",
                 "config/defaults.yaml"}},
           {"notes", std::string(420, 'n')}}},
  };
}

Map attestation(unsigned n)
{
  Map parsed = log_line(n);
  parsed.erase("synced");
  parsed.erase("branch");
  parsed.set("staged_diff_hash", sha(n) + sha(n + 1).substr(0, 24));
  parsed.set("rules",
             List{Map{{"name", "no-secrets"}, {"complied", true}},
                  Map{{"name", "tests-required"}, {"complied", true}}});
  return parsed;
}

// The repository, built once: configuration, archives, and the log as it must be
// put back before each run.
struct Corpus {
  kolvex::testing::TempDir dir;
  std::string pristine_log;

  Corpus()
  {
    kolvex::services::shared::save_local_config(dir.path(), Map{{"project_id", 1}});
    const stdfs::path archives = kolvex::paths::attestations_dir(dir.path());
    stdfs::create_directories(archives);
    for (unsigned n = 0; n < k_records; ++n) {
      pristine_log += kolvex::core::json::dump(Value(log_line(n)));
      pristine_log += '\n';
      std::ofstream(archives / (sha(n) + ".yaml"))
          << kolvex::core::yaml::dump(Value(attestation(n)));
    }
  }

  [[nodiscard]] stdfs::path log() const { return kolvex::paths::log_jsonl(dir.path()); }
  void reset_log() const { std::ofstream(log(), std::ios::trunc) << pristine_log; }
};

const Corpus& corpus()
{
  static const Corpus instance;
  return instance;
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The markings of one first sync, replayed on a fresh log: one per batch of 100.
double replay_markings(const Corpus& data)
{
  data.reset_log();
  sync::SyncedMarker marker(data.log());
  double total = 0;
  for (unsigned first = 0; first < k_records; first += sync::ATTESTATION_BATCH_SIZE) {
    std::set<std::string> commits;
    for (unsigned n = first; n < first + sync::ATTESTATION_BATCH_SIZE && n < k_records; ++n) {
      commits.insert(sha(n));
    }
    const auto start = std::chrono::steady_clock::now();
    (void)marker.mark(commits);
    total += seconds_since(start);
  }
  return total;
}

// One marking as the plain rewrite does it (a fresh marker parses and dumps every
// line), on the full log: the per-batch cost the marker's memo avoids.
double plain_marking(const Corpus& data)
{
  constexpr int k_samples = 5;
  data.reset_log();
  double total = 0;
  for (int i = 0; i < k_samples; ++i) {
    const auto start = std::chrono::steady_clock::now();
    (void)sync::SyncedMarker(data.log()).mark({sha(static_cast<unsigned>(i))});
    total += seconds_since(start);
  }
  return total / k_samples;
}

void BM_FirstSync(benchmark::State& state)
{
  for (const char* marker : {"CLAUDECODE",
                             "CLAUDE_CODE_SESSION_ID",
                             "CODEX_THREAD_ID",
                             "GEMINI_CLI",
                             "CURSOR_AGENT",
                             "CURSOR_EXTENSION_HOST_ROLE",
                             "KOLVEX_DEBUG"}) {
    ::unsetenv(marker);
  }
  const Corpus& data = corpus();
  kolvex::contracts::ScopedApiClient real{kolvex::protocol::http_client()};
  double marking = 0;
  double total = 0;
  double plain = 0;
  for (auto _ : state) {
    data.reset_log();
    kolvex::testing::DevServer server;
    const Value project = *kolvex::protocol::http_client()
                               .resolve_project(server.target(), "git@example.com:b/s.git", 1)
                               .get("projectId");
    const auto start = std::chrono::steady_clock::now();
    const sync::UploadResult result =
        sync::upload_attestations(server.api_key(),
                                  server.url(),
                                  data.dir.path(),
                                  kolvex::paths::attestations_dir(data.dir.path()),
                                  project);
    const double took = seconds_since(start);
    state.SetIterationTime(took);
    if (!result.ok || result.uploaded != k_records) {
      state.SkipWithError(("upload failed: " + result.error.value_or("short count")).c_str());
      return;
    }
    total += took;
    marking += replay_markings(data);
    plain += plain_marking(data);
  }
  const auto runs = static_cast<double>(state.iterations());
  state.counters["log_MB"] = static_cast<double>(data.pristine_log.size()) / 1e6;
  state.counters["total_s"] = total / runs;
  state.counters["marking_s"] = marking / runs;
  state.counters["marking_share"] = marking / total;
  const double batches = static_cast<double>(k_records / sync::ATTESTATION_BATCH_SIZE);
  state.counters["mark_ms"] = marking / runs / batches * 1000;
  state.counters["plain_mark_ms"] = plain / runs * 1000;
  state.counters["target_s"] = 20;
}

BENCHMARK(BM_FirstSync)->Iterations(1)->Repetitions(3)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
