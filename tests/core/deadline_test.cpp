#include "core/deadline.hpp"

#include "core/fs.hpp"
#include "core/lines.hpp"
#include "core/process.hpp"
#include "support/repo.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace deadline = kolvex::core::deadline;
namespace lines = kolvex::core::lines;
using kolvex::testing::TempDir;

TEST(Deadline, CutsWaitsAndStopsWorkOnceItHasPassed)
{
  using namespace std::chrono_literals;
  EXPECT_EQ(deadline::clamp(10s), 10s); // none set
  EXPECT_NO_THROW(deadline::check("nothing"));
  deadline::set_after(60s);
  EXPECT_LE(deadline::clamp(600s), 60s);
  EXPECT_GT(deadline::clamp(600s), 50s);
  EXPECT_EQ(deadline::clamp(1s), 1s);
  deadline::set_after(0s);
  EXPECT_TRUE(deadline::passed());
  EXPECT_EQ(deadline::clamp(10s), 0s);
  EXPECT_THROW(deadline::check("the test"), deadline::DeadlineExceeded);
  // No child is started, and no file read, once time is up.
  const auto run = kolvex::core::process::run({"true"});
  EXPECT_TRUE(run.timed_out);
  TempDir dir;
  const auto path = dir.write("f", "a\nb\n");
  const kolvex::core::fs::Fd fd(::open(path.c_str(), O_RDONLY));
  lines::LineBlockReader reader(fd.get());
  EXPECT_THROW((void)reader.next(), deadline::DeadlineExceeded);
  deadline::clear();
  EXPECT_FALSE(deadline::passed());
  EXPECT_EQ(kolvex::core::process::run({"true"}).exit_code, 0);
}

TEST(Deadline, HardStopEndsAProcessThatDoesNotLook)
{
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    deadline::hard_stop_after(std::chrono::seconds(1), 7);
    ::sleep(30);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}
