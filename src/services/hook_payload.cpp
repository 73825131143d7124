#include "services/hook_payload.hpp"

#include "core/json.hpp"
#include "core/text.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace kolvex::services::shared {

namespace {

using Clock = std::chrono::steady_clock;

// The bytes on `fd` up to end of file; false when the read must be given up (too
// large, a read error) and nothing may be parsed.  Stops early, keeping what came,
// when the writer goes idle or the total time runs out.
bool read_bounded(int fd, const PayloadLimits& limits, std::string& input)
{
  const auto deadline = Clock::now() + limits.total;
  char buffer[65536];
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
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      continue;
    }
    if (n < 0) {
      return false;
    }
    if (n == 0) {
      return true;
    }
    if (input.size() + static_cast<std::size_t>(n) > limits.max_bytes) {
      return false;
    }
    input.append(buffer, static_cast<std::size_t>(n));
  }
}

} // namespace

core::Value read_hook_payload_from(int fd, const PayloadLimits& limits)
{
  try {
    // A person at a terminal is not a harness; waiting for them would hang the hook.
    if (::isatty(fd) != 0) {
      return {};
    }
    std::string input;
    if (!read_bounded(fd, limits, input) || core::text::trim(input).empty()) {
      return {};
    }
    return core::json::parse(input);
  } catch (const std::exception&) {
    return {}; // not JSON, cut short, or out of memory: no payload
  }
}

core::Value read_hook_payload()
{
  return read_hook_payload_from(STDIN_FILENO);
}

} // namespace kolvex::services::shared
