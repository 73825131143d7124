// The context refresh against kolvex-devserver with every endpoint delayed by
// 300 ms, beside one sequential round of the same fetches on one thread.  The
// refresh makes the context call, then its six fetches at once, then the memories
// call, so its floor is 3 delays (the declarative-state fetch asks for its two
// entities at once); the sequential round costs 8.  Reported: the median of each
// (ms) and their ratio.
#include "contracts/api_client.hpp"
#include "protocol/http_loader.hpp"
#include "services/relaycore/cache/refresh.hpp"
#include "support/devserver.hpp"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>

namespace {

namespace cache = kolvex::services::relaycore::cache;
using kolvex::core::Value;
using Clock = std::chrono::steady_clock;

constexpr int k_delay_ms = 300;

// A small project served with every request held back by k_delay_ms.
struct Served {
  kolvex::testing::TempDir content;
  std::unique_ptr<kolvex::testing::DevServer> server;
  std::string project;

  Served()
  {
    content.write("context.json", R"({"project": {"id": 1}, "systems": ["core"]})");
    content.write("state/kolvexstate.json", R"({"architecture": {"elements": {"api": {}}}})");
    content.write("state/kolvexrules.json", R"({"principles": {"small-commits": {}}})");
    content.write("specs/billing.md", "# Billing\n");
    content.write("docs/architecture.md", "# Architecture\n");
    content.write("skills/review.json", R"({"slug": "review", "content": "Review it.\n"})");
    content.write("custom-docs/system/style.md", "# Style\n");
    server = std::make_unique<kolvex::testing::DevServer>(kolvex::testing::DevServerOptions{
        .args = {
            "--content", content.path().string(), "--delay", ".=" + std::to_string(k_delay_ms)}});
    const Value resolved = kolvex::protocol::http_client().resolve_project(
        server->target(), "git@example.com:t/repo.git", std::nullopt);
    project = std::to_string(resolved.get("projectId")->as_int());
  }
};

Served& served()
{
  static Served instance;
  return instance;
}

double ms_since(Clock::time_point start)
{
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void BM_RefreshParallel(benchmark::State& state)
{
  ::setenv("KOLVEX_SKIP_PLATFORM_SKILLS", "1", 1);
  Served& s = served();
  kolvex::contracts::ScopedApiClient real{kolvex::protocol::http_client()};
  for (auto _ : state) {
    kolvex::testing::TempDir repo; // a first refresh each time: no stored tags
    const auto start = Clock::now();
    const cache::RefreshResult result =
        cache::refresh_context_cache_detailed(s.server->api_key(),
                                              s.server->url(),
                                              kolvex::paths::RepositoryHandle(repo.path()),
                                              Value(s.project));
    state.SetIterationTime(ms_since(start) / 1000);
    if (!result.ok) {
      state.SkipWithError(("refresh failed at " + result.stage.value_or("?")).c_str());
      return;
    }
  }
  state.counters["delay_ms"] = k_delay_ms;
  state.counters["floor_ms"] = 3 * k_delay_ms;
}

// The same requests, one after another on the calling thread.
void BM_SequentialRound(benchmark::State& state)
{
  Served& s = served();
  kolvex::contracts::ApiClient& client = kolvex::protocol::http_client();
  const kolvex::contracts::ApiTarget target = s.server->target();
  for (auto _ : state) {
    const auto start = Clock::now();
    benchmark::DoNotOptimize(client.fetch_context(target, s.project));
    benchmark::DoNotOptimize(client.fetch_system_context(target, s.project, {"core"}));
    benchmark::DoNotOptimize(client.fetch_declarative_state_detailed(target, s.project, {}));
    benchmark::DoNotOptimize(client.fetch_all_specs(target, s.project, std::nullopt));
    benchmark::DoNotOptimize(client.fetch_guardrails(target, s.project));
    benchmark::DoNotOptimize(client.fetch_skills(target, s.project));
    benchmark::DoNotOptimize(client.fetch_custom_docs(target, s.project));
    benchmark::DoNotOptimize(client.fetch_memories(target, s.project));
    state.SetIterationTime(ms_since(start) / 1000);
  }
  state.counters["delay_ms"] = k_delay_ms;
  state.counters["floor_ms"] = 8 * k_delay_ms;
}

BENCHMARK(BM_RefreshParallel)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SequentialRound)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
