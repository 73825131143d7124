// Throughput of core::json on log-shaped lines of about 400 bytes and on a 1 MB
// document: parse to a Value and dump back to text. simdjson's DOM parse, which
// builds no Value, is measured beside them as the floor of what reading costs.
#include "core/json.hpp"

#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

using kolvex::core::Map;
using kolvex::core::Value;
namespace json = kolvex::core::json;

namespace {

// A few hundred distinct log lines, so that branch predictors and caches see
// varied text as they would reading a real log.
const std::vector<std::string>& log_lines()
{
  static const std::vector<std::string> lines = [] {
    std::mt19937 random(42);
    const auto hex = [&](int n) {
      static constexpr char digits[] = "0123456789abcdef";
      std::string s;
      for (int i = 0; i < n; ++i) {
        s += digits[random() % 16];
      }
      return s;
    };
    const char* agents[] = {"claude_code", "codex", "cursor", "gemini_cli"};
    const char* summaries[] = {
        "Fix the off-by-one in the pager and add a regression test",
        "Refactor the upload queue: batch requests and retry on 503",
        "Add caf\xc3\xa9 menu translations \xe2\x9c\x93 and update snapshots",
        "Document the \"sync\" command and its --dry-run flag"};
    std::vector<std::string> out;
    for (int i = 0; i < 256; ++i) {
      Map telemetry{{"tokens",
                     Map{{"input", static_cast<int>(random() % 200000)},
                         {"output", static_cast<int>(random() % 20000)},
                         {"cache_read", static_cast<int>(random() % 100000)}}},
                    {"cost_usd", static_cast<double>(random() % 10000) / 1000.0},
                    {"duration_s", static_cast<double>(random() % 100000) / 100.0}};
      Map line{{"commit", hex(40)},
               {"branch", "feature/" + hex(8)},
               {"timestamp", "2024-05-01T10:" + std::to_string(10 + i % 50) + ":00+00:00"},
               {"agent", agents[i % 4]},
               {"summary", summaries[i % 4]},
               {"synced", i % 3 == 0},
               {"developer", Map{{"name", "Ada Lovelace"}, {"email", "ada@example.com"}}},
               {"telemetry", std::move(telemetry)}};
      out.push_back(json::dump(Value(std::move(line))));
    }
    return out;
  }();
  return lines;
}

template <typename Parse> void parse_lines(benchmark::State& state, Parse parse)
{
  const auto& lines = log_lines();
  std::size_t bytes = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& line = lines[i++ % lines.size()];
    auto v = parse(line);
    benchmark::DoNotOptimize(v);
    bytes += line.size();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_parse_log_line(benchmark::State& state)
{
  parse_lines(state, json::parse);
}

// The DOM stays in the parser; nothing is converted.
std::size_t simdjson_dom(const std::string& text)
{
  static simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (parser.parse(text).get(root) != simdjson::SUCCESS) {
    throw std::runtime_error("simdjson refused the benchmark input");
  }
  return root.is_array() ? 1 : 0;
}

void BM_simdjson_dom_log_line(benchmark::State& state)
{
  parse_lines(state, simdjson_dom);
}

// One large document (a server answer of ~1 MB): a list of log records.
template <typename Parse> void parse_large(benchmark::State& state, Parse parse)
{
  std::string text = "[";
  for (int i = 0; i < 2500; ++i) {
    text += (i ? ", " : "") + log_lines()[static_cast<std::size_t>(i) % log_lines().size()];
  }
  text += "]";
  for (auto _ : state) {
    auto v = parse(text);
    benchmark::DoNotOptimize(v);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_parse_large_document(benchmark::State& state)
{
  parse_large(state, json::parse);
}

void BM_simdjson_dom_large_document(benchmark::State& state)
{
  parse_large(state, simdjson_dom);
}

void BM_dump_log_line(benchmark::State& state)
{
  std::vector<Value> values;
  for (const std::string& line : log_lines()) {
    values.push_back(json::parse(line));
  }
  std::size_t bytes = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    std::string text = json::dump(values[i++ % values.size()]);
    bytes += text.size();
    benchmark::DoNotOptimize(text);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

} // namespace

BENCHMARK(BM_parse_log_line);
BENCHMARK(BM_simdjson_dom_log_line);
BENCHMARK(BM_parse_large_document);
BENCHMARK(BM_simdjson_dom_large_document);
BENCHMARK(BM_dump_log_line);
BENCHMARK_MAIN();
