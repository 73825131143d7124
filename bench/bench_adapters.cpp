// Agent adapters on generated Claude Code stores: telemetry of one 50 MB
// transcript (target: 200 MB/s or better), and the commit search over 200
// transcripts of which 190 were last written before `since` and must stay unopened.
// The adapters keep what they read of a file for the rest of the process, so each
// iteration changes the files it must read.

#include "agents/claude_code.hpp"
#include "agents/transcript_io.hpp"
#include "core/json.hpp"

#include <benchmark/benchmark.h>

#include <sys/time.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace stdfs = std::filesystem;
using kolvex::core::List;
using kolvex::core::Map;
using kolvex::core::Value;

namespace {

constexpr double T0 = 1767348000; // 2026-01-02T10:00:00Z
const std::string REPO = "/home/dev/projects/payments-service";
const std::string SHA = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";

// Text that looks like source and command output: quotes, backslashes, newlines,
// non-ASCII, so that string scanning is exercised as in real transcripts.
std::string filler(std::mt19937& rng, std::size_t bytes)
{
  static const char* words[] = {"def ",
                                "return ",
                                "self.",
                                "\"value\"",
                                "\\n",
                                "if x:\n    ",
                                "é",
                                "→ ",
                                "{}",
                                "[i]",
                                "# comment\n",
                                "import os\n",
                                "\t",
                                "0x1F ",
                                "résumé ",
                                "assert ",
                                "None",
                                "True"};
  std::string out;
  out.reserve(bytes + 16);
  while (out.size() < bytes) {
    out += words[rng() % (sizeof words / sizeof words[0])];
  }
  return out;
}

std::string timestamp(double epoch)
{
  const auto whole = static_cast<long long>(epoch);
  auto text = kolvex::agents::format_timestamp(static_cast<double>(whole));
  text.insert(text.size() - 1, ".123");
  return text;
}

Map envelope(const std::string& type, const std::string& session, int n, double when)
{
  return Map{{"parentUuid", "p-" + std::to_string(n - 1)},
             {"isSidechain", false},
             {"userType", "external"},
             {"cwd", REPO},
             {"sessionId", session},
             {"version", "2.1.152"},
             {"gitBranch", "main"},
             {"type", type},
             {"uuid", "u-" + std::to_string(n)},
             {"timestamp", timestamp(when)}};
}

// One session of about `target` bytes: prompts, responses written one line per
// content block, Bash calls and large tool results, progress and snapshots.
std::string
generate_session(const std::string& session, std::size_t target, unsigned seed, bool commit)
{
  std::mt19937 rng(seed);
  std::string out;
  int n = 0;
  double when = T0 - 3000;
  while (out.size() < target) {
    auto user = envelope("user", session, ++n, when += 5);
    user.set("message", Map{{"role", "user"}, {"content", filler(rng, 200)}});
    out += kolvex::core::json::dump(Value(user)) + "\n";
    const int blocks = 2 + static_cast<int>(rng() % 3);
    const auto message_id = "msg_" + std::to_string(n);
    for (int b = 0; b < blocks; ++b) {
      auto line = envelope("assistant", session, ++n, when += 1);
      const bool last = b == blocks - 1;
      const auto command =
          commit && last && out.size() > target / 2 ? "git commit -m 'wip'" : "pytest -q tests/";
      List content{last ? Value(Map{{"type", "tool_use"},
                                    {"id", "toolu_" + std::to_string(n)},
                                    {"name", "Bash"},
                                    {"input", Map{{"command", command}}}})
                        : Value(Map{{"type", "text"}, {"text", filler(rng, 800)}})};
      line.set("message",
               Map{{"model", "claude-opus-4-7"},
                   {"id", message_id},
                   {"type", "message"},
                   {"role", "assistant"},
                   {"content", std::move(content)},
                   {"stop_reason", nullptr},
                   {"usage",
                    Map{{"input_tokens", 6},
                        {"cache_creation_input_tokens", 1045},
                        {"cache_read_input_tokens", 30570},
                        {"output_tokens", last ? 420 : 1},
                        {"service_tier", "standard"}}}});
      line.set("requestId", "req_" + std::to_string(n));
      out += kolvex::core::json::dump(Value(line)) + "\n";
    }
    auto result = envelope("user", session, ++n, when += 3);
    result.set("message",
               Map{{"role", "user"},
                   {"content",
                    List{Map{{"type", "tool_result"},
                             {"tool_use_id", "toolu_" + std::to_string(n - 1)},
                             {"content", filler(rng, 2000 + rng() % 12000)},
                             {"is_error", false}}}}});
    out += kolvex::core::json::dump(Value(result)) + "\n";
    if (rng() % 4 == 0) {
      auto progress = envelope("progress", session, ++n, when += 1);
      progress.set("data", Map{{"type", "hook_progress"}, {"output", filler(rng, 300)}});
      out += kolvex::core::json::dump(Value(progress)) + "\n";
    }
    if (rng() % 8 == 0) {
      out += kolvex::core::json::dump(
                 Value(Map{{"type", "file-history-snapshot"},
                           {"messageId", "m" + std::to_string(n)},
                           {"snapshot", Map{{"trackedFileBackups", filler(rng, 3000)}}}})) +
             "\n";
    }
  }
  return out;
}

void write_file(const stdfs::path& path, const std::string& text)
{
  stdfs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

void set_mtime(const stdfs::path& path, double epoch)
{
  struct timeval times[2] = {{static_cast<time_t>(epoch), 0}, {static_cast<time_t>(epoch), 0}};
  ::utimes(path.c_str(), times);
}

// A store under the system temp directory, removed afterwards.
class Store {
public:
  explicit Store(const std::string& name)
      : m_dir(stdfs::temp_directory_path() /
              ("kolvex-bench-" + name + "-" + std::to_string(::getpid())))
  {
    stdfs::remove_all(m_dir);
    ::setenv("CLAUDE_CONFIG_DIR", m_dir.c_str(), 1);
    ::unsetenv("CLAUDE_CODE_SESSION_ID");
  }
  ~Store() { stdfs::remove_all(m_dir); }
  [[nodiscard]] stdfs::path projects() const
  {
    return m_dir / "projects" / "-home-dev-projects-payments-service";
  }

private:
  stdfs::path m_dir;
};

void BM_ClaudeTelemetry50MB(benchmark::State& state)
{
  Store store("telemetry");
  const std::string session = "7f0c2d9e-5a41-4c11-9a0e-3b1f2c4d5e6f";
  const auto text = generate_session(session, 50u << 20, 1, false);
  const auto path = store.projects() / (session + ".jsonl");
  write_file(path, text);
  const kolvex::agents::ClaudeCodeAdapter adapter;
  double touch = T0;
  for (auto _ : state) {
    state.PauseTiming();
    set_mtime(path, touch += 1); // read anew, as a new process would
    state.ResumeTiming();
    auto telemetry = adapter.get_telemetry_for_session(REPO, session);
    if (!telemetry || !kolvex::core::truthy(*telemetry->to_dict().find("tokens"))) {
      state.SkipWithError("no telemetry");
      return;
    }
    benchmark::DoNotOptimize(telemetry);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  state.counters["MB_per_s"] = benchmark::Counter(static_cast<double>(text.size()) / 1e6 *
                                                      static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
  state.counters["file_MB"] = static_cast<double>(text.size()) / 1e6;
}
BENCHMARK(BM_ClaudeTelemetry50MB)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_SessionsMentioning200Transcripts(benchmark::State& state)
{
  Store store("mentioning");
  std::vector<stdfs::path> fresh;
  for (int i = 0; i < 200; ++i) {
    const auto session = "session-" + std::to_string(i);
    auto text = generate_session(session, 200u << 10, 100 + static_cast<unsigned>(i), i % 20 == 0);
    // Every old transcript proves the commit: reading one would change the answer.
    if (i >= 10) {
      text +=
          R"({"type":"assistant","cwd":")" + REPO + R"(","timestamp":")" + timestamp(T0 - 5) +
          R"(","message":{"role":"assistant","content":[{"type":"tool_use","id":"c1","name":"Bash","input":{"command":"git commit"}}]}})" +
          "\n" + R"({"type":"user","cwd":")" + REPO +
          R"(","message":{"role":"user","content":[{"type":"tool_result","tool_use_id":"c1","content":"[main )" +
          SHA.substr(0, 7) + R"(] x"}]}})" + "\n";
    }
    const auto path = store.projects() / (session + ".jsonl");
    write_file(path, text);
    set_mtime(path, i < 10 ? T0 + 100 : T0 - 86400);
    if (i < 10) {
      fresh.push_back(path);
    }
  }
  const kolvex::agents::ClaudeCodeAdapter adapter;
  const std::vector<std::string> shas{SHA};
  const kolvex::contracts::CommitTimes times{{SHA, T0}};
  std::size_t opened = 0;
  double touch = T0 + 100;
  for (auto _ : state) {
    // A process reads each transcript once; a new modification time makes this
    // iteration read the fresh ones again, as a new process would.
    state.PauseTiming();
    touch += 1;
    for (const auto& path : fresh) {
      set_mtime(path, touch);
    }
    state.ResumeTiming();
    const auto before = kolvex::agents::transcript_opens();
    auto matches = adapter.sessions_mentioning(REPO, shas, T0, times);
    opened = kolvex::agents::transcript_opens() - before;
    if (opened != 10 || matches.count(SHA) != 0) {
      state.SkipWithError("an old transcript was opened");
      return;
    }
    benchmark::DoNotOptimize(matches);
  }
  state.counters["opened"] = static_cast<double>(opened);
}
BENCHMARK(BM_SessionsMentioning200Transcripts)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
