// Several processes writing one log: appends under the lock must never be lost to
// a concurrent in-place rewrite, and a rewrite killed at any moment must leave a
// whole log, old or new.
#include "paths.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/log_writer.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "support/fd_capture.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kolvex::services::relaycore::log {
namespace {

namespace stdfs = std::filesystem;
using testing::TempDir;

std::string sha(char prefix, unsigned number)
{
  char tail[9];
  std::snprintf(tail, sizeof tail, "%08x", number);
  return std::string(32, prefix) + tail;
}

core::Map entry_for(const std::string& commit, const std::string& summary)
{
  return core::Map{{"commit", commit},
                   {"branch", "main"},
                   {"timestamp", "2024-05-01T10:00:00Z"},
                   {"agent", "claude_code"},
                   {"summary", summary},
                   {"synced", false},
                   {"telemetry",
                    core::Map{{"model", "claude-sonnet-4-5"},
                              {"input_tokens", 123456},
                              {"output_tokens", 7890},
                              {"cost_usd", 0.4213}}}};
}

// Runs `body` in a child process; the child exits 0 when it returned normally.
pid_t spawn(const std::function<void()>& body)
{
  const pid_t pid = ::fork();
  if (pid == 0) {
    int code = 0;
    try {
      body();
    } catch (...) {
      code = 1;
    }
    ::_exit(code);
  }
  return pid;
}

int exit_code_of(pid_t pid)
{
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(LogWriterConcurrency, AppendsSurviveConcurrentInPlaceReplacements)
{
  constexpr unsigned k_appenders = 4;
  constexpr unsigned k_appends = 500;
  constexpr unsigned k_seeded = 20;
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  const auto stop = dir.path() / "stop";
  const auto rounds_file = dir.path() / "rounds";
  for (unsigned k = 0; k < k_seeded; ++k) {
    _append_log_entry(paths::confined(log), entry_for(sha('b', k), "seed"));
  }
  // Every writer's warnings: none may have gone ahead without the lock.
  std::optional<testing::FdCapture> warnings(2);

  const pid_t replacer = spawn([&] {
    unsigned rounds = 0;
    while (!stdfs::exists(stop)) {
      for (unsigned k = 0; k < k_seeded; ++k) {
        if (!_replace_log_entry(paths::confined(log),
                                entry_for(sha('b', k), "round " + std::to_string(rounds)))) {
          throw std::runtime_error("seeded line vanished");
        }
        // No pause: the appenders wait in the kernel and are let in the moment a
        // rewrite lets go, however soon the next one starts.
      }
      ++rounds;
    }
    core::fs::append_line(rounds_file, std::to_string(rounds) + "\n");
  });
  std::vector<pid_t> appenders;
  for (unsigned i = 0; i < k_appenders; ++i) {
    appenders.push_back(spawn([&, i] {
      for (unsigned j = 0; j < k_appends; ++j) {
        _append_log_entry(paths::confined(log),
                          entry_for(sha('a', i * 10000 + j), "append " + std::to_string(j)));
      }
    }));
  }
  for (const pid_t pid : appenders) {
    EXPECT_EQ(exit_code_of(pid), 0);
  }
  core::fs::append_line(stop, "stop\n");
  ASSERT_EQ(exit_code_of(replacer), 0);
  EXPECT_GT(std::stoul(core::fs::read_text(rounds_file)), 0u);

  const std::string text = core::fs::read_text(log);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.back(), '\n');
  std::map<std::string, int> seen;
  std::size_t line_count = 0;
  for (const auto line : core::fs::splitlines(text)) {
    ++line_count;
    const core::Value value = core::json::parse(line); // throws on a torn line
    ASSERT_TRUE(value.is_map());
    const std::string commit = value.get("commit")->as_string();
    ++seen[commit];
    if (commit[0] == 'a') {
      // An appended line is whole: exactly the bytes its writer wrote.
      const std::string summary = value.get("summary")->as_string();
      EXPECT_EQ(std::string(line) + "\n", log_line_text(entry_for(commit, summary)));
    }
  }
  EXPECT_EQ(line_count, k_seeded + k_appenders * k_appends);
  for (unsigned i = 0; i < k_appenders; ++i) {
    for (unsigned j = 0; j < k_appends; ++j) {
      EXPECT_EQ(seen[sha('a', i * 10000 + j)], 1) << i << "/" << j;
    }
  }
  for (unsigned k = 0; k < k_seeded; ++k) {
    EXPECT_EQ(seen[sha('b', k)], 1);
  }
  EXPECT_EQ(read_attestation_log(paths::confined(log)).size(), k_seeded + k_appenders * k_appends);
  const std::string warned = warnings->text();
  warnings.reset();
  EXPECT_EQ(warned.find("could not lock"), std::string::npos) << warned;
}

TEST(LogWriterCrash, KilledReplacementLeavesTheOldOrTheNewLogWhole)
{
  constexpr unsigned k_lines = 12000; // about 4 MB, so that a rewrite takes a while
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  const std::string target = sha('c', k_lines / 2);
  auto text_with = [&](const std::string& summary) {
    std::string text;
    for (unsigned k = 0; k < k_lines; ++k) {
      text += log_line_text(entry_for(sha('c', k), k == k_lines / 2 ? summary : "filler"));
    }
    return text;
  };
  const std::string old_text = text_with("old");
  const std::string new_text = text_with("new");
  auto stray_files = [&] {
    std::vector<stdfs::path> stray;
    for (const auto& item : stdfs::directory_iterator(dir.path())) {
      const auto name = item.path().filename().string();
      if (name != "log.jsonl" && name != "log.jsonl.lock") {
        stray.push_back(item.path());
      }
    }
    return stray;
  };

  std::mt19937 random(12345);
  unsigned killed_mid_write = 0;
  for (int round = 0; round < 12; ++round) {
    SCOPED_TRACE(round);
    {
      FILE* out = std::fopen(log.c_str(), "wb");
      ASSERT_NE(out, nullptr);
      std::fwrite(old_text.data(), 1, old_text.size(), out);
      std::fclose(out);
    }
    const std::size_t stray_before = stray_files().size();
    const pid_t writer = spawn([&] {
      for (bool flip = true;; flip = !flip) {
        (void)_replace_log_entry(paths::confined(log), entry_for(target, flip ? "new" : "old"));
      }
    });
    if (round % 2 == 0) {
      // Kill while a temporary file exists: the rewrite is certainly under way.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (stray_files().size() == stray_before && std::chrono::steady_clock::now() < deadline) {
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 60));
    }
    ::kill(writer, SIGKILL);
    ::waitpid(writer, nullptr, 0);
    if (stray_files().size() > stray_before) {
      ++killed_mid_write;
    }

    const std::string after = core::fs::read_text(log);
    EXPECT_TRUE(after == old_text || after == new_text)
        << "torn log of " << after.size() << " bytes";
    const AttestationLog read = read_attestation_log(paths::confined(log));
    EXPECT_EQ(read.size(), k_lines);
    EXPECT_EQ(read.corrupt, 0);
  }
  EXPECT_GT(killed_mid_write, 0u);
  // Left-over temporary files are never read as the log and do not block the next
  // rewrite.
  for (const auto& stray : stray_files()) {
    EXPECT_EQ(stray.extension(), ".tmp") << stray;
  }
  ASSERT_TRUE(_replace_log_entry(paths::confined(log), entry_for(target, "final")));
  EXPECT_EQ(core::fs::read_text(log), text_with("final"));
}

} // namespace
} // namespace kolvex::services::relaycore::log
