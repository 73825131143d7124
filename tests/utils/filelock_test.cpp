#include "utils/filelock.hpp"

#include "paths.hpp"
#include "support/fd_capture.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace filelock = kolvex::utils::filelock;
namespace paths = kolvex::paths;
namespace stdfs = std::filesystem;
using kolvex::testing::FdCapture;
using kolvex::testing::TempDir;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A child process that takes the lock on `path`, tells the parent (one byte on a
// pipe), then keeps it until the parent says "release" and stays alive until the
// parent says "exit", so that a release is seen apart from the process ending.
class Holder {
public:
  explicit Holder(const stdfs::path& path)
  {
    int to_child[2];
    int to_parent[2];
    if (::pipe(to_child) != 0 || ::pipe(to_parent) != 0) {
      throw std::runtime_error("pipe");
    }
    m_pid = ::fork();
    if (m_pid == 0) {
      ::close(to_child[1]);
      ::close(to_parent[0]);
      char byte = 0;
      {
        auto lock = filelock::locked(paths::confined(path), 5.0);
        byte = lock.acquired() ? 'y' : 'n';
        (void)!::write(to_parent[1], &byte, 1);
        (void)!::read(to_child[0], &byte, 1); // release
      }
      (void)!::write(to_parent[1], &byte, 1);
      (void)!::read(to_child[0], &byte, 1); // exit
      ::_exit(0);
    }
    ::close(to_child[0]);
    ::close(to_parent[1]);
    m_to_child = to_child[1];
    m_from_child = to_parent[0];
    char byte = 0;
    m_acquired = ::read(m_from_child, &byte, 1) == 1 && byte == 'y';
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
  ~Holder()
  {
    ::close(m_to_child); // end of file ends both waits
    ::close(m_from_child);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
  [[nodiscard]] bool acquired() const { return m_acquired; }
  void release()
  {
    const char byte = 'r';
    (void)!::write(m_to_child, &byte, 1);
    char ack = 0;
    (void)!::read(m_from_child, &ack, 1);
  }

private:
  pid_t m_pid = -1;
  int m_to_child = -1;
  int m_from_child = -1;
  bool m_acquired = false;
};

// Whether another process can take the lock on `path` at once.
bool another_process_can_lock(const stdfs::path& path)
{
  const pid_t pid = ::fork();
  if (pid == 0) {
    auto lock = filelock::locked(paths::confined(path), 0.0);
    ::_exit(lock.acquired() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

TEST(FileLock, WaitTimesOutFailOpenWhileAnotherProcessHoldsIt)
{
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  Holder holder(log);
  ASSERT_TRUE(holder.acquired());

  FdCapture captured(2);
  bool body_ran = false;
  const auto start = Clock::now();
  {
    auto lock = filelock::locked(paths::confined(log), 0.3);
    EXPECT_FALSE(lock.acquired());
    body_ran = true;
  }
  const auto waited = Clock::now() - start;
  EXPECT_TRUE(body_ran);
  EXPECT_GE(waited, 300ms);
  EXPECT_LT(waited, 2000ms);
  EXPECT_NE(captured.text().find("warning: could not lock " + log.string()), std::string::npos)
      << captured.text();
}

TEST(FileLock, LeavingTheScopeLetsAWaitingProcessIn)
{
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  Holder holder(log);
  ASSERT_TRUE(holder.acquired());
  EXPECT_FALSE(another_process_can_lock(log));

  std::thread releaser([&] {
    std::this_thread::sleep_for(200ms);
    holder.release(); // the holder process lives on; only its scope ends
  });
  const auto start = Clock::now();
  {
    auto lock = filelock::locked(paths::confined(log), 5.0);
    EXPECT_TRUE(lock.acquired());
  }
  releaser.join();
  EXPECT_LT(Clock::now() - start, 4000ms);
}

TEST(FileLock, NestedScopesInOneThreadPassAtOnceAndReleaseWithTheOutermost)
{
  TempDir dir;
  const auto log = dir.path() / "sub" / "log.jsonl";
  {
    auto outer = filelock::locked(paths::confined(log));
    ASSERT_TRUE(outer.acquired());
    EXPECT_TRUE(stdfs::exists(dir.path() / "sub" / "log.jsonl.lock")); // parent made
    {
      // Another spelling of the same path, and no time to wait at all.
      auto inner = filelock::locked(paths::confined(dir.path() / "sub" / "." / "log.jsonl"), 0.0);
      EXPECT_TRUE(inner.acquired());
    }
    EXPECT_FALSE(another_process_can_lock(log)); // the outer scope still holds it
  }
  EXPECT_TRUE(another_process_can_lock(log));
}

TEST(FileLock, ReleasedWhenTheBodyThrows)
{
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  try {
    auto outer = filelock::locked(paths::confined(log));
    auto inner = filelock::locked(paths::confined(log));
    throw std::runtime_error("body failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(another_process_can_lock(log));
}

TEST(FileLock, AnotherThreadOfTheProcessIsExcluded)
{
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  auto lock = filelock::locked(paths::confined(log));
  ASSERT_TRUE(lock.acquired());
  bool other_acquired = true;
  std::thread other([&] {
    FdCapture quiet(2);
    auto attempt = filelock::locked(paths::confined(log), 0.1);
    other_acquired = attempt.acquired();
  });
  other.join();
  EXPECT_FALSE(other_acquired);
}

TEST(FileLock, LockFileIsNotInheritedByChildren)
{
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  auto lock = filelock::locked(paths::confined(log));
  const std::string lock_file = log.string() + ".lock";
  int found = 0;
  for (const auto& entry : stdfs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (stdfs::read_symlink(entry.path(), ec) != lock_file) {
      continue;
    }
    ++found;
    std::ifstream info("/proc/self/fdinfo/" + entry.path().filename().string());
    std::string key;
    std::string flags;
    while (info >> key >> flags && key != "flags:") {
    }
    ASSERT_EQ(key, "flags:");
    EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0U) << "flags " << flags;
  }
  EXPECT_EQ(found, 1);
}

TEST(FileLock, UnusableLockLocationStillOpensTheScope)
{
  TempDir dir;
  const auto file = dir.write("plain", "x");
  FdCapture captured(2);
  bool body_ran = false;
  {
    auto lock = filelock::locked(paths::confined(file / "log.jsonl"), 0.0); // parent is a file
    EXPECT_FALSE(lock.acquired());
    body_ran = true;
  }
  EXPECT_TRUE(body_ran);
  EXPECT_NE(captured.text().find("warning"), std::string::npos);
}

// A scope nested in one that already waited out its time (the capture's writers
// inside one another) goes ahead at once: waiting again would cost a commit the
// time-out once for every scope.
TEST(FileLock, NestedScopeInsideOneThatWentAheadDoesNotWaitAgain)
{
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  Holder holder(log);
  ASSERT_TRUE(holder.acquired());
  FdCapture quiet(2);
  auto outer = filelock::locked(paths::confined(log), 0.2);
  ASSERT_FALSE(outer.acquired());
  const auto start = Clock::now();
  {
    auto inner = filelock::locked(paths::confined(log)); // the default ten seconds
    EXPECT_FALSE(inner.acquired());
    auto innermost = filelock::locked(paths::confined(log), 5.0);
    EXPECT_FALSE(innermost.acquired());
  }
  EXPECT_LT(Clock::now() - start, 2000ms);
}

// Each thread holds its own flock: several threads taking turns on one path never
// overlap, and each gets the lock within its time.
TEST(FileLock, ThreadsOfOneProcessTakeTurns)
{
  TempDir dir;
  const auto log = dir.path() / "log.jsonl";
  constexpr int k_threads = 4;
  constexpr int k_rounds = 150;
  int inside = 0;
  int overlaps = 0;
  int missed = 0;
  std::mutex counters;
  std::vector<std::thread> threads;
  for (int t = 0; t < k_threads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < k_rounds; ++i) {
        auto lock = filelock::locked(paths::confined(log), 30.0);
        {
          std::lock_guard guard(counters);
          missed += lock.acquired() ? 0 : 1;
          overlaps += inside > 0 ? 1 : 0;
          ++inside;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::lock_guard guard(counters);
        --inside;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(missed, 0);
  EXPECT_EQ(overlaps, 0);
}
