#include "core/deadline.hpp"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <string>

#include <unistd.h>

namespace kolvex::core::deadline {

namespace {

// Nanoseconds of the steady clock's epoch; 0 means no deadline.  Atomic because the
// lock's waits and the readers may ask from any thread.
std::atomic<Clock::rep> g_deadline{0};

volatile std::sig_atomic_t g_hard_stop_status = 0;

extern "C" void hard_stop(int /*signal*/)
{
  ::_exit(g_hard_stop_status);
}

} // namespace

void set_after(std::chrono::milliseconds budget)
{
  const auto when = Clock::now() + budget;
  g_deadline.store(std::max<Clock::rep>(when.time_since_epoch().count(), 1));
}

void clear()
{
  g_deadline.store(0);
}

std::optional<Clock::time_point> current()
{
  const Clock::rep ticks = g_deadline.load();
  if (ticks == 0) {
    return std::nullopt;
  }
  return Clock::time_point(Clock::duration(ticks));
}

std::chrono::milliseconds clamp(std::chrono::milliseconds limit)
{
  const auto when = current();
  if (!when) {
    return limit;
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*when - Clock::now());
  return std::max(std::min(limit, left), std::chrono::milliseconds::zero());
}

bool passed()
{
  const auto when = current();
  return when && Clock::now() >= *when;
}

void check(std::string_view what)
{
  if (passed()) {
    throw DeadlineExceeded("out of time: " + std::string(what) + " given up");
  }
}

void hard_stop_after(std::chrono::seconds after, int status)
{
  g_hard_stop_status = status;
  struct sigaction action {};
  action.sa_handler = hard_stop;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGALRM, &action, nullptr);
  ::alarm(static_cast<unsigned>(after.count()));
}

} // namespace kolvex::core::deadline
