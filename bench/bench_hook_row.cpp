// What Claude Code's PostToolUse row costs after every shell call an agent makes:
// the whole `kolvex attest add --from-hook` process, its payload written to a pipe
// on stdin as the harness does, timed against `/bin/true` fed the same payload in
// the same run.  Payloads: a typical call that is not a commit (`npm test` with 2 KB
// of output), a 1 MB command that is not one, a 1 MB `git log` output (the word
// "commit" throughout, so the payload is parsed whole), and a `git commit` whose
// HEAD the git hook already recorded (no target; shown for scale).
// Target: median at most 5 ms for the typical and the 1 MB command payloads.
// Each benchmark reports median_ms and p90_ms over its processes.
#include "core/json.hpp"
#include "core/process.hpp"
#include "support/repo.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace stdfs = std::filesystem;
using kolvex::core::Map;
using kolvex::core::Value;
using kolvex::testing::TempDir;

// A set-up repository whose HEAD is recorded, in a private HOME with no harness
// and no credentials, and the payloads aimed at it.
struct Scene {
  TempDir dir;
  stdfs::path repo = dir.path() / "repo";
  std::string typical, big_command, big_output, commit;

  Scene()
  {
    ::setenv("HOME", (dir.path() / "home").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir.path() / "home/.config").c_str(), 1);
    ::setenv("CLAUDE_CONFIG_DIR", (dir.path() / "claude").c_str(), 1);
    ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
    for (const char* name : {"CLAUDECODE",
                             "CLAUDE_CODE_SESSION_ID",
                             "CODEX_THREAD_ID",
                             "GEMINI_CLI",
                             "CURSOR_AGENT",
                             "CURSOR_EXTENSION_HOST_ROLE",
                             "KOLVEX_DEBUG",
                             "KOLVEX_API_KEY",
                             "KOLVEX_API_URL"}) {
      ::unsetenv(name);
    }
    stdfs::create_directories(dir.path() / "home");
    stdfs::create_directories(repo);
    git({"init", "-q", "-b", "main"});
    git({"config", "user.name", "Bench Dev"});
    git({"config", "user.email", "bench@example.com"});
    git({"config", "commit.gpgsign", "false"});
    dir.write("repo/.kolvex/.platform/config.yaml", "project_id: 42\n");
    dir.write("repo/a.txt", "one\n");
    git({"add", "a.txt"});
    git({"commit", "-q", "-m", "feat: the commit"});
    run({KOLVEX_BIN, "sync", "--record-commit"}, "");

    std::string output;
    for (int i = 0; i < 60; ++i) {
      output +=
          "  PASS src/module" + std::to_string(i) + ".test.ts (" + std::to_string(i * 3) + " ms)\n";
    }
    typical = payload("npm test -- --runInBand", output);
    big_command = payload("echo " + std::string(1'000'000, 'x'), output);
    std::string log;
    while (log.size() < 1'000'000) {
      log +=
          "commit 1a2b3c4d5e6f7a8b9c0d1e2f3a4b5c6d7e8f9a0b\nAuthor: Bench Dev\n\n    fix: it\n\n";
    }
    big_output = payload("git log", log);
    commit = payload("git add a.txt && git commit -m 'feat: the commit'", "[main 1a2b3c4] feat");
  }

  [[nodiscard]] std::string payload(const std::string& command,
                                    const std::string& stdout_text) const
  {
    return kolvex::core::json::dump(Value(Map{
        {"session_id", "7d1c9a52-3f0c-4e8b-9a61-2b5d8e4f1c03"},
        {"transcript_path", (dir.path() / "claude/projects/x/s.jsonl").string()},
        {"cwd", repo.string()},
        {"permission_mode", "default"},
        {"hook_event_name", "PostToolUse"},
        {"tool_name", "Bash"},
        {"tool_input", Map{{"command", command}, {"description", "Run it"}}},
        {"tool_response",
         Map{{"stdout", stdout_text}, {"stderr", ""}, {"interrupted", false}, {"isImage", false}}},
        {"tool_use_id", "toolu_01ABCDEF"}}));
  }

  void git(const std::vector<std::string>& args) const
  {
    std::vector<std::string> argv{"git"};
    argv.insert(argv.end(), args.begin(), args.end());
    run(argv, "");
  }

  // Runs `argv` in the repository with `input` on a pipe; throws unless it exits 0
  // without a word on stdout (every payload here must take the silent path).
  void run(const std::vector<std::string>& argv, const std::string& input) const
  {
    kolvex::core::process::Options options;
    options.cwd = repo;
    options.input = input;
    const auto result = kolvex::core::process::run(argv, options);
    if (result.exit_code != 0 || !result.out.empty()) {
      throw std::runtime_error(argv[0] + " failed: " + result.out + result.err);
    }
  }
};

Scene& scene()
{
  static Scene instance;
  return instance;
}

void whole_process(benchmark::State& state, const char* program, const std::string Scene::*which)
{
  const Scene& s = scene();
  const std::string& input = s.*which;
  std::vector<std::string> argv{program};
  if (std::string(program) == KOLVEX_BIN) {
    argv.insert(argv.end(), {"attest", "add", "--from-hook", "--agent", "claude-code", "--user"});
  }
  std::vector<double> ms;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    s.run(argv, input);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                     .count());
  }
  std::sort(ms.begin(), ms.end());
  state.counters["median_ms"] = ms[ms.size() / 2];
  state.counters["p90_ms"] = ms[ms.size() * 9 / 10];
  state.SetLabel(std::to_string(input.size()) + " bytes");
}

void args(benchmark::internal::Benchmark* b)
{
  b->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(200);
}

BENCHMARK_CAPTURE(whole_process, true_typical, "/bin/true", &Scene::typical)->Apply(args);
BENCHMARK_CAPTURE(whole_process, row_typical, KOLVEX_BIN, &Scene::typical)->Apply(args);
BENCHMARK_CAPTURE(whole_process, true_1mb_command, "/bin/true", &Scene::big_command)->Apply(args);
BENCHMARK_CAPTURE(whole_process, row_1mb_command, KOLVEX_BIN, &Scene::big_command)->Apply(args);
BENCHMARK_CAPTURE(whole_process, true_1mb_git_log, "/bin/true", &Scene::big_output)->Apply(args);
BENCHMARK_CAPTURE(whole_process, row_1mb_git_log, KOLVEX_BIN, &Scene::big_output)->Apply(args);
BENCHMARK_CAPTURE(whole_process, row_commit_recorded, KOLVEX_BIN, &Scene::commit)->Apply(args);

} // namespace

BENCHMARK_MAIN();
