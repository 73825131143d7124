#include "frontend/hook_payload.hpp"

#include "core/json.hpp"
#include "core/text.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace kolvex::services::shared {

namespace {

using Clock = std::chrono::steady_clock;

// Bytes asked of read(2) at a time.
constexpr std::size_t k_chunk = 65536;
// What a pipe is expected to carry at most in the usual case: a tool call with a
// large output.
constexpr std::size_t k_expected_bytes = std::size_t{1} << 20;

// The bytes on `fd` up to end of file; false when the read must be given up (too
// large, a read error) and nothing may be parsed.  Stops early, keeping what came,
// when the writer goes idle or the total time runs out.
bool read_bounded(int fd, const PayloadLimits& limits, std::string& input)
{
  const auto deadline = Clock::now() + limits.total;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const auto wait = std::min(left, limits.idle);
    if (wait.count() <= 0) {
      return true;
    }
    pollfd ready{fd, POLLIN, 0};
    const int n_ready = ::poll(&ready, 1, static_cast<int>(wait.count()));
    if (n_ready < 0 && errno == EINTR) {
      continue;
    }
    if (n_ready < 0 || (ready.revents & POLLNVAL) != 0) {
      return false;
    }
    if (n_ready == 0) {
      return true; // idle, or out of time: parse what came
    }
    // Read straight into the string: a megabyte payload is copied once, not twice.
    const std::size_t used = input.size();
    input.resize(used + k_chunk);
    const ssize_t n = ::read(fd, input.data() + used, k_chunk);
    input.resize(used + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n < 0) {
      return false;
    }
    if (n == 0) {
      return true;
    }
    if (input.size() > limits.max_bytes) {
      return false;
    }
  }
}

} // namespace

std::optional<std::string> read_hook_input_from(int fd, const PayloadLimits& limits)
{
  try {
    // A person at a terminal is not a harness; waiting for them would hang the hook.
    if (::isatty(fd) != 0) {
      return std::nullopt;
    }
    std::string input;
    // Reserved up front (address space only; pages are touched as bytes arrive) so
    // that a large payload is not copied and faulted in again at every doubling.
    struct stat st {};
    const bool sized = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
    input.reserve(std::min(limits.max_bytes,
                           sized ? static_cast<std::size_t>(st.st_size) : k_expected_bytes) +
                  k_chunk);
    // A megabyte payload through the default 64 KiB pipe costs the harness and us a
    // wake-up per 64 KiB; a larger pipe lets it arrive in a few.  Best-effort: the
    // system may cap or refuse the size.
    if (!sized && ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
      const int current = ::fcntl(fd, F_GETPIPE_SZ);
      if (current >= 0 && static_cast<std::size_t>(current) < k_expected_bytes) {
        (void)::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(k_expected_bytes));
      }
    }
    if (!read_bounded(fd, limits, input)) {
      return std::nullopt;
    }
    return input;
  } catch (const std::exception&) {
    return std::nullopt; // out of memory
  }
}

core::Value read_hook_payload_from(int fd, const PayloadLimits& limits)
{
  try {
    const auto input = read_hook_input_from(fd, limits);
    if (!input || core::text::trim(*input).empty()) {
      return {};
    }
    return core::json::parse(*input);
  } catch (const std::exception&) {
    return {}; // not JSON, cut short, or out of memory: no payload
  }
}

core::Value read_hook_payload()
{
  return read_hook_payload_from(STDIN_FILENO);
}

std::optional<std::string> read_hook_input()
{
  return read_hook_input_from(STDIN_FILENO);
}

} // namespace kolvex::services::shared
