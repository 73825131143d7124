#include "core/process.hpp"

#include "support/repo.hpp"
#include "support/scoped_env.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace proc = kolvex::core::process;
using kolvex::testing::TempDir;
using namespace std::chrono_literals;

namespace {

proc::Result sh(const std::string& script, proc::Options options = {})
{
  return proc::run({"sh", "-c", script}, options);
}

// True once `pid` is gone or a zombie waiting for init: nothing is left running.
bool is_dead(pid_t pid)
{
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string content;
  if (!std::getline(stat, content)) {
    return true;
  }
  const auto paren = content.rfind(')');
  return paren != std::string::npos && paren + 2 < content.size() && content[paren + 2] == 'Z';
}

bool dies_within(pid_t pid, std::chrono::milliseconds limit)
{
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (is_dead(pid)) {
      return true;
    }
    std::this_thread::sleep_for(10ms);
  }
  return is_dead(pid);
}

} // namespace

TEST(ProcessRun, ReportsExitCodesAndDeathBySignal)
{
  EXPECT_EQ(proc::run({"true"}).exit_code, 0);
  EXPECT_EQ(sh("exit 3").exit_code, 3);
  const auto killed = sh("kill -9 $$");
  EXPECT_EQ(killed.exit_code, -1);
  EXPECT_FALSE(killed.timed_out);
}

TEST(ProcessRun, ArgumentsReachTheProgramVerbatimWithoutAShell)
{
  const auto result = proc::run({"printf", "%s|%s", "$HOME; echo injected", "a b"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "$HOME; echo injected|a b");
}

// Large output on both streams, stderr first: reading one pipe to its end before
// the other would deadlock with the child blocked on a full pipe.
TEST(ProcessRun, CapturesLargeOutputOnBothStreams)
{
  const auto result = sh("head -c 300000 /dev/zero | tr '\\0' e >&2;"
                         "head -c 500000 /dev/zero | tr '\\0' o;"
                         "head -c 300000 /dev/zero | tr '\\0' e >&2");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, std::string(500000, 'o'));
  EXPECT_EQ(result.err, std::string(600000, 'e'));
}

TEST(ProcessRun, FeedsInputAndDefaultsStdinToTheNullDevice)
{
  std::string input;
  for (int i = 0; i < 100000; ++i) {
    input += "line " + std::to_string(i) + "\n";
  }
  proc::Options options;
  options.input = input;
  const auto echoed = proc::run({"cat"}, options);
  EXPECT_EQ(echoed.exit_code, 0);
  EXPECT_EQ(echoed.out, input);

  // A child that never reads its input: the write fails with EPIPE, not SIGPIPE.
  EXPECT_EQ(proc::run({"true"}, options).exit_code, 0);

  const auto empty = proc::run({"cat"});
  EXPECT_EQ(empty.exit_code, 0);
  EXPECT_EQ(empty.out, "");
}

TEST(ProcessRun, RunsInTheGivenDirectoryWithTheCallersEnvironment)
{
  TempDir dir;
  proc::Options options;
  options.cwd = dir.path();
  EXPECT_EQ(proc::run({"pwd", "-P"}, options).out, dir.path().string() + "\n");

  kolvex::testing::ScopedEnv env;
  env.set("KOLVEX_PROCESS_TEST", "inherited");
  EXPECT_EQ(sh("printf %s \"$KOLVEX_PROCESS_TEST\"").out, "inherited");
}

TEST(ProcessRun, DoesNotLeakOurDescriptorsIntoTheChild)
{
  const int fd = ::open("/dev/null", O_RDONLY); // deliberately not close-on-exec
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::dup2(fd, 100), 100);
  const auto result = sh("test -e /proc/self/fd/100 && echo leaked || echo closed");
  ::close(100);
  ::close(fd);
  EXPECT_EQ(result.out, "closed\n");
}

TEST(ProcessRun, UnstartableChildIsSystemError)
{
  try {
    (void)proc::run({"kolvex-no-such-program-anywhere"});
    FAIL() << "expected system_error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
  }

  proc::Options options;
  options.cwd = "/nonexistent/kolvex/dir";
  try {
    (void)proc::run({"true"}, options);
    FAIL() << "expected system_error";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::errc::no_such_file_or_directory);
    EXPECT_NE(std::string(e.what()).find("/nonexistent/kolvex/dir"), std::string::npos);
  }

  options.cwd = "/etc/passwd";
  EXPECT_THROW((void)proc::run({"true"}, options), std::system_error);
  EXPECT_THROW((void)proc::run({}), std::system_error);
}

// The child ignores SIGTERM and leaves a grandchild holding the output pipe: at the
// limit the whole group dies, run() returns promptly, and nothing is left behind.
TEST(ProcessSlow, TimeLimitKillsTheWholeGroup)
{
  proc::Options options;
  options.timeout = 1000ms;
  const auto start = std::chrono::steady_clock::now();
  const auto result = sh("trap '' TERM; sleep 100 & echo $!; sleep 100", options);
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.exit_code, -1);
  EXPECT_GE(elapsed, 900ms);
  EXPECT_LT(elapsed, 3000ms);
  const pid_t grandchild = static_cast<pid_t>(std::atol(result.out.c_str()));
  ASSERT_GT(grandchild, 1) << result.out;
  EXPECT_TRUE(dies_within(grandchild, 2000ms));
}

// A descendant that left the group escapes the kill and keeps the pipe open for
// good; run() must still return at the limit instead of waiting for end of file.
TEST(ProcessSlow, ReturnsAtTheLimitWhenAnEscapedDescendantHoldsThePipe)
{
  proc::Options options;
  options.timeout = 1000ms;
  const auto start = std::chrono::steady_clock::now();
  const auto result = sh("setsid sleep 30 & echo $!; exit 7", options);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  const pid_t escaped = static_cast<pid_t>(std::atol(result.out.c_str()));
  if (escaped > 1) {
    ::kill(escaped, SIGKILL);
  }
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.exit_code, 7); // the child itself had exited on its own
  EXPECT_LT(elapsed, 3000ms);
  EXPECT_GT(escaped, 1) << result.out;
}

TEST(ProcessSlow, TimeLimitWithoutANewSession)
{
  proc::Options options;
  options.timeout = 300ms;
  options.session = proc::Session::inherit;
  const auto result = proc::run({"sleep", "100"}, options);
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.exit_code, -1);
}

TEST(DecodeReplace, MatchesPythonsReplaceHandler)
{
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(proc::decode_replace("plain \xC3\xA9 \xF0\x9F\x98\x80"),
            "plain \xC3\xA9 \xF0\x9F\x98\x80");
  EXPECT_EQ(proc::decode_replace("\x80"), r);
  EXPECT_EQ(proc::decode_replace("\xC3"), r);
  // A truncated sequence is one replacement, and the byte that broke it is kept.
  EXPECT_EQ(proc::decode_replace("\xE2\x82"), r);
  EXPECT_EQ(proc::decode_replace("\xE2\x82"
                                 "A"),
            r + "A");
  EXPECT_EQ(proc::decode_replace("\xF0\x9F\x98"), r);
  EXPECT_EQ(proc::decode_replace("\xE0\xA0"), r);
  // Overlongs, surrogates and values past U+10FFFF: one replacement per byte.
  EXPECT_EQ(proc::decode_replace("\xC0\xAF"), r + r);
  EXPECT_EQ(proc::decode_replace("\xE0\x80\x80"), r + r + r);
  EXPECT_EQ(proc::decode_replace("\xED\xA0\x80"), r + r + r);
  EXPECT_EQ(proc::decode_replace("\xF4\x90\x80\x80"), r + r + r + r);
  EXPECT_EQ(proc::decode_replace("\xF8\x88\x80\x80\x80"), r + r + r + r + r);
  // The Unicode standard's own example of maximal subparts.
  EXPECT_EQ(proc::decode_replace("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"),
            "a" + r + r + r + "b" + r + "c" + r + r + "d");
}
