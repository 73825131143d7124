// The hook payload reader: whatever arrives on the pipe, it returns within its time
// bounds, never throws, and yields a payload only for a complete JSON document.
#include "frontend/hook_payload.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

namespace {

using kolvex::core::Value;
using kolvex::services::shared::PayloadLimits;
using kolvex::services::shared::read_hook_payload_from;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A pipe whose ends close with it; the write end can be closed early.
class Pipe {
public:
  Pipe() { EXPECT_EQ(::pipe2(m_fd, O_CLOEXEC), 0); }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe()
  {
    close_write();
    ::close(m_fd[0]);
  }
  [[nodiscard]] int read_end() const { return m_fd[0]; }
  // Writes all of `bytes` (blocking while the reader drains a full pipe).
  void write(const std::string& bytes) const
  {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(m_fd[1], bytes.data() + done, bytes.size() - done);
      if (n <= 0) {
        return; // the reader gave up
      }
      done += static_cast<std::size_t>(n);
    }
  }
  void close_write()
  {
    if (m_fd[1] >= 0) {
      ::close(m_fd[1]);
      m_fd[1] = -1;
    }
  }

private:
  int m_fd[2] = {-1, -1};
};

const PayloadLimits k_quick{
    .max_bytes = 1 << 20, .idle = milliseconds(200), .total = milliseconds(600)};

const std::string k_payload =
    R"({"session_id": "s1", "tool_name": "Bash", "tool_input": {"command": "git commit -m x"}})";

TEST(HookPayload, AClosedPipeWithAPayloadIsParsed)
{
  Pipe pipe;
  pipe.write(k_payload);
  pipe.close_write();
  const Value payload = read_hook_payload_from(pipe.read_end());
  ASSERT_TRUE(payload.is_map());
  EXPECT_EQ(*payload.get("tool_input")->get_string("command"), "git commit -m x");
}

TEST(HookPayload, NothingUsableIsNull)
{
  for (const std::string& input : {std::string(),
                                   std::string(" \n\t"),
                                   std::string("not json"),
                                   k_payload.substr(0, k_payload.size() / 2),
                                   std::string("{\"a\": 1} x")}) {
    Pipe pipe;
    pipe.write(input);
    pipe.close_write();
    EXPECT_TRUE(read_hook_payload_from(pipe.read_end(), k_quick).is_null()) << input;
  }
  // A descriptor that is not open.
  Pipe closed;
  const int fd = ::dup(closed.read_end());
  ::close(fd);
  EXPECT_TRUE(read_hook_payload_from(fd, k_quick).is_null());
}

TEST(HookPayload, AnyJsonValueComesBackForTheCallerToJudge)
{
  Pipe pipe;
  pipe.write("[1, \"Bash\"]\n");
  pipe.close_write();
  EXPECT_TRUE(read_hook_payload_from(pipe.read_end(), k_quick).is_list());
}

TEST(HookPayload, AWriterThatNeverClosesCostsTheIdleWaitOnly)
{
  Pipe silent; // nothing written, never closed
  auto start = Clock::now();
  EXPECT_TRUE(read_hook_payload_from(silent.read_end(), k_quick).is_null());
  // The bound is the total limit; a loaded machine gets generous slack.
  EXPECT_LT(Clock::now() - start, milliseconds(5000));

  // A whole payload without the close is taken once the writer goes quiet.
  Pipe open;
  open.write(k_payload);
  start = Clock::now();
  const Value payload = read_hook_payload_from(open.read_end(), k_quick);
  EXPECT_LT(Clock::now() - start, milliseconds(5000));
  ASSERT_TRUE(payload.is_map());
  EXPECT_EQ(*payload.get_string("session_id"), "s1");

  // Half a payload without the close is cut short: nothing.
  Pipe half;
  half.write(k_payload.substr(0, 20));
  EXPECT_TRUE(read_hook_payload_from(half.read_end(), k_quick).is_null());
}

TEST(HookPayload, ATrickleIsCutAtTheTotalLimit)
{
  Pipe pipe;
  std::atomic<bool> stop{false};
  // One byte every 50 ms never trips the idle wait; only the total limit ends it.
  std::thread writer([&] {
    for (int i = 0; i < 400 && !stop; ++i) {
      pipe.write(i == 0 ? "{" : " ");
      std::this_thread::sleep_for(milliseconds(50));
    }
  });
  const auto start = Clock::now();
  const Value payload = read_hook_payload_from(pipe.read_end(), k_quick);
  const auto spent = Clock::now() - start;
  stop = true;
  writer.join();
  EXPECT_TRUE(payload.is_null());
  EXPECT_GE(spent, milliseconds(500)); // it did keep reading while bytes came
  EXPECT_LT(spent, milliseconds(10000));
}

TEST(HookPayload, AMegabyteCommandIsReadWholeAndALargerPayloadIsRefused)
{
  const std::string command(1'000'000, 'x');
  const std::string big = R"({"tool_name": "Bash", "tool_input": {"command": ")" + command + "\"}}";
  {
    Pipe pipe;
    std::thread writer([&] {
      pipe.write(big);
      pipe.close_write();
    });
    const Value payload = read_hook_payload_from(pipe.read_end());
    writer.join();
    ASSERT_TRUE(payload.is_map());
    EXPECT_EQ(payload.get("tool_input")->get_string("command")->size(), command.size());
  }
  {
    Pipe pipe;
    std::thread writer([&] {
      pipe.write(big);
      pipe.close_write();
    });
    const Value payload =
        read_hook_payload_from(pipe.read_end(), {.max_bytes = 100'000, .idle = milliseconds(500)});
    // The reader stopped early; drain the rest so that the writer can finish.
    std::thread drain([&] {
      char buffer[65536];
      while (::read(pipe.read_end(), buffer, sizeof buffer) > 0) {
      }
    });
    writer.join();
    drain.join();
    EXPECT_TRUE(payload.is_null());
  }
}

} // namespace
