// The attestation log at scale: reading and counting a 100,000-line log of
// realistic lines (about 400 bytes, telemetry maps included) with none, a third or
// all of them waiting for upload, and one append to it.
//
// Memory is counted by replacing the global operator new/delete: the counters show
// the peak of live heap bytes during one read, beside the file's size.
#include "core/json.hpp"
#include "paths.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/log_writer.hpp"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <new>
#include <random>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

std::atomic<std::size_t> g_live{0};
std::atomic<std::size_t> g_peak{0};

void* counted_alloc(std::size_t size)
{
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    throw std::bad_alloc();
  }
  const std::size_t live = g_live.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  std::size_t peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
  return p;
}

void counted_free(void* p) noexcept
{
  if (p != nullptr) {
    g_live.fetch_sub(malloc_usable_size(p));
    std::free(p);
  }
}

} // namespace

void* operator new(std::size_t size)
{
  return counted_alloc(size);
}
void* operator new[](std::size_t size)
{
  return counted_alloc(size);
}
void operator delete(void* p) noexcept
{
  counted_free(p);
}
void operator delete[](void* p) noexcept
{
  counted_free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
  counted_free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
  counted_free(p);
}

namespace {

namespace stdfs = std::filesystem;
namespace attlog = kolvex::services::relaycore::log;
using kolvex::core::Map;

constexpr int k_lines = 100'000;

std::string hex(std::mt19937_64& random, std::size_t digits)
{
  static constexpr char k_digits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < digits; ++i) {
    out += k_digits[random() % 16];
  }
  return out;
}

// One realistic line: what the writer produces for an enriched attestation.
Map realistic_entry(std::mt19937_64& random, bool synced, bool addressable)
{
  const std::string session = hex(random, 8) + "-" + hex(random, 4) + "-" + hex(random, 4) + "-" +
                              hex(random, 4) + "-" + hex(random, 12);
  return Map{
      {"commit", addressable ? hex(random, 40) : std::string("unknown")},
      {"branch", "main"},
      {"timestamp", "2024-05-01T10:00:00Z"},
      {"agent", "claude_code"},
      {"summary", "Add the login form"},
      {"synced", synced},
      {"agent_session_id", session},
      {"developer", Map{{"name", "Ada"}, {"email", "ada@example.com"}}},
      {"telemetry",
       Map{{"model", "claude-sonnet-4-5"},
           {"input_tokens", static_cast<long>(random() % 500000)},
           {"output_tokens", static_cast<long>(random() % 40000)},
           {"cost_usd", static_cast<double>(random() % 100000) / 10000.0}}},
  };
}

// Generated logs are removed when the program ends.
struct Generated {
  std::vector<stdfs::path> paths;
  ~Generated()
  {
    for (const auto& path : paths) {
      std::error_code ec;
      stdfs::remove(path, ec);
      stdfs::remove(stdfs::path(path) += ".lock", ec);
    }
  }
};
Generated g_generated;

// Writes the log line by line (never holding it whole, so that the reader's
// maxrss is its own).  `pending_per_mille` lines are unsent; 1 % are unaddressable.
stdfs::path generate(const std::string& name, int pending_per_mille)
{
  const stdfs::path path = stdfs::temp_directory_path() /
                           ("kolvex-bench-" + std::to_string(::getpid()) + "-" + name + ".jsonl");
  g_generated.paths.push_back(path);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 random(42);
  for (int i = 0; i < k_lines; ++i) {
    const int roll = static_cast<int>(random() % 1000);
    const bool pending = roll < pending_per_mille;
    const bool addressable = roll < 990;
    out << attlog::log_line_text(realistic_entry(random, !pending && addressable, addressable));
  }
  return path;
}

long maxrss_kib()
{
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

void read_log(benchmark::State& state, const stdfs::path& path)
{
  const double file_bytes = static_cast<double>(stdfs::file_size(path));
  const long rss_before = maxrss_kib();
  std::size_t peak_delta = 0;
  std::size_t pending = 0;
  for (auto _ : state) {
    const std::size_t base = g_live.load();
    g_peak.store(base);
    const attlog::AttestationLog read = attlog::read_attestation_log(kolvex::paths::confined(path));
    peak_delta = std::max(peak_delta, g_peak.load() - base);
    pending = read.size();
    benchmark::DoNotOptimize(read.uploaded);
  }
  state.counters["file_MB"] = file_bytes / 1e6;
  state.counters["bytes_per_line"] = file_bytes / k_lines;
  state.counters["pending"] = static_cast<double>(pending);
  state.counters["heap_peak_MB"] = static_cast<double>(peak_delta) / 1e6;
  state.counters["heap_peak_x_file"] = static_cast<double>(peak_delta) / file_bytes;
  state.counters["maxrss_delta_MB"] = static_cast<double>(maxrss_kib() - rss_before) / 1024.0;
}

// The usual log: most lines long since uploaded, a few waiting.
void BM_ReadAttestationLog_Realistic(benchmark::State& state)
{
  static const stdfs::path path = generate("realistic", 40);
  read_log(state, path);
}
BENCHMARK(BM_ReadAttestationLog_Realistic)->Unit(benchmark::kMillisecond);

// A third of the lines waiting.
void BM_ReadAttestationLog_ThirdPending(benchmark::State& state)
{
  static const stdfs::path path = generate("third-pending", 333);
  read_log(state, path);
}
BENCHMARK(BM_ReadAttestationLog_ThirdPending)->Unit(benchmark::kMillisecond);

// The worst case: nothing ever uploaded, every line returned parsed.
void BM_ReadAttestationLog_AllPending(benchmark::State& state)
{
  static const stdfs::path path = generate("all-pending", 1000);
  read_log(state, path);
}
BENCHMARK(BM_ReadAttestationLog_AllPending)->Unit(benchmark::kMillisecond);

// What `kolvex status` and the session summary read: the counts alone, which must
// cost about the same whatever share of the lines is waiting.
void count_log(benchmark::State& state, const stdfs::path& path)
{
  std::size_t peak_delta = 0;
  std::int64_t pending = 0;
  for (auto _ : state) {
    const std::size_t base = g_live.load();
    g_peak.store(base);
    const attlog::AttestationLogCounts counts =
        attlog::count_attestation_log(kolvex::paths::confined(path));
    peak_delta = std::max(peak_delta, g_peak.load() - base);
    pending = counts.pending;
    benchmark::DoNotOptimize(counts.uploaded);
  }
  state.counters["pending"] = static_cast<double>(pending);
  state.counters["heap_peak_MB"] = static_cast<double>(peak_delta) / 1e6;
}

void BM_CountAttestationLog_NonePending(benchmark::State& state)
{
  static const stdfs::path path = generate("count-none", 0);
  count_log(state, path);
}
BENCHMARK(BM_CountAttestationLog_NonePending)->Unit(benchmark::kMillisecond);

void BM_CountAttestationLog_ThirdPending(benchmark::State& state)
{
  static const stdfs::path path = generate("count-third", 333);
  count_log(state, path);
}
BENCHMARK(BM_CountAttestationLog_ThirdPending)->Unit(benchmark::kMillisecond);

void BM_CountAttestationLog_AllPending(benchmark::State& state)
{
  static const stdfs::path path = generate("count-all", 1000);
  count_log(state, path);
}
BENCHMARK(BM_CountAttestationLog_AllPending)->Unit(benchmark::kMillisecond);

void BM_AppendOneLine(benchmark::State& state)
{
  static const stdfs::path path = generate("append", 40);
  std::mt19937_64 random(7);
  const Map entry = realistic_entry(random, false, true);
  for (auto _ : state) {
    attlog::_append_log_entry(kolvex::paths::confined(path), entry);
  }
}
BENCHMARK(BM_AppendOneLine)->Unit(benchmark::kMicrosecond);

// An in-place rewrite of the last line of the 100,000-line log (read, scan, write,
// fsync, rename), all under the lock.
void BM_ReplaceOneLine(benchmark::State& state)
{
  static const stdfs::path path = generate("replace", 40);
  std::mt19937_64 random(9);
  Map entry = realistic_entry(random, false, true);
  attlog::_append_log_entry(kolvex::paths::confined(path), entry);
  for (auto _ : state) {
    entry.set("synced", !entry.find("synced")->as_bool());
    benchmark::DoNotOptimize(attlog::_replace_log_entry(kolvex::paths::confined(path), entry));
  }
}
BENCHMARK(BM_ReplaceOneLine)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
