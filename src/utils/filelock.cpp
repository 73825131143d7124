#include "utils/filelock.hpp"

#include "core/deadline.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

namespace kolvex::utils::filelock {

namespace {

using Clock = std::chrono::steady_clock;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.utils.filelock");
  return instance;
}

// The scopes each thread has open.  flock(2) locks belong to an open file
// description, so every thread opens the lock file itself and contends in the
// kernel like another process; a nested scope of the same thread is handed the
// outcome of its outermost scope instead: the lock already held, or the time-out
// already waited (it does not wait again).
struct Held {
  int fd = -1; // -1: the outermost scope went ahead without the lock
  int depth = 0;
  bool acquired = false;
};

using Key = std::pair<std::filesystem::path, std::thread::id>;

std::mutex& registry_mutex()
{
  static std::mutex instance;
  return instance;
}

std::map<Key, Held>& held_locks()
{
  static std::map<Key, Held> instance;
  return instance;
}

// A forked child shares our lock files' open descriptions, and with them the locks,
// but runs none of the scopes that hold them.  It drops its copies so that it
// neither passes a "re-entrant" scope of ours nor keeps a lock alive after we
// release it; its own scopes then contend like any other process's.  The registry
// mutex is held across fork so that the child never inherits it locked.
void prepare_fork()
{
  registry_mutex().lock();
}

void after_fork_in_parent()
{
  registry_mutex().unlock();
}

void after_fork_in_child()
{
  for (const auto& [key, held] : held_locks()) {
    if (held.fd >= 0) {
      ::close(held.fd);
    }
  }
  held_locks().clear();
  registry_mutex().unlock();
}

std::map<Key, Held>& registry()
{
  static const bool registered =
      ::pthread_atfork(prepare_fork, after_fork_in_parent, after_fork_in_child) == 0;
  (void)registered;
  return held_locks();
}

std::filesystem::path key_of(const std::filesystem::path& path)
{
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) {
    absolute = path;
  }
  return absolute.lexically_normal();
}

// The sibling "<file>.lock", beneath the same trusted root as `file`.
core::fs::Confined lock_file_of(const core::fs::Confined& file)
{
  core::fs::Confined lock = file;
  lock.rel += ".lock";
  return lock;
}

// Opens (creating as needed, parents included) the lock file, like every file the
// caller confined: never through a link.
core::fs::Fd open_lock_file(const core::fs::Confined& lock)
{
  core::fs::create_directories(lock.parent());
  return core::fs::open_regular(lock, O_RDWR | O_CREAT);
}

// ---- The bounded wait -----------------------------------------------------------
//
// A blocking flock(2) sits in the kernel's queue of waiters and is woken the moment
// the holder lets go, where polling with LOCK_NB could keep missing a holder that
// re-locks at once.  It is bounded by a timer of this thread's own that sends it a
// signal whose handler does nothing and does not restart the call, so the flock
// returns EINTR at the deadline.  The timer repeats every few milliseconds after
// that, so a signal that lands just before the flock starts to block cannot leave it
// blocked.  Other threads never see the signal.

int wake_signal()
{
  return SIGRTMIN + 5;
}

extern "C" void on_wake(int /*signal*/) {}

bool install_wake_handler()
{
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = on_wake;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the flock must return
    return ::sigaction(wake_signal(), &action, nullptr) == 0;
  }();
  return installed;
}

timespec to_timespec(Clock::duration d)
{
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

// Waits for the lock on `fd` until `deadline`; nullopt when the timer cannot be set
// up (the caller then polls).
std::optional<bool> wait_with_timer(int fd, Clock::time_point deadline)
{
  if (!install_wake_handler()) {
    return std::nullopt;
  }
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = wake_signal();
  event._sigev_un._tid = ::gettid();
  timer_t timer{};
  if (::timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) {
    return std::nullopt;
  }
  sigset_t wake;
  sigemptyset(&wake);
  sigaddset(&wake, wake_signal());
  sigset_t old;
  ::pthread_sigmask(SIG_UNBLOCK, &wake, &old);
  itimerspec timing{};
  timing.it_value = to_timespec(std::max(deadline - Clock::now(), Clock::duration(1)));
  timing.it_interval = to_timespec(std::chrono::milliseconds(5));
  bool acquired = false;
  if (::timer_settime(timer, 0, &timing, nullptr) == 0) {
    for (;;) {
      if (::flock(fd, LOCK_EX) == 0) {
        acquired = true;
        break;
      }
      if (errno != EINTR || Clock::now() >= deadline) {
        break; // the deadline, or an error flock will not get over
      }
    }
  }
  // No timer signal may outlive the wait: it would interrupt a later call of this
  // thread.  Blocked, the timer gone, any that is pending is taken off.
  ::pthread_sigmask(SIG_BLOCK, &wake, nullptr);
  ::timer_delete(timer);
  const timespec none{0, 0};
  while (::sigtimedwait(&wake, nullptr, &none) > 0) {
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return acquired;
}

// The wait for a process that cannot have a timer: LOCK_NB tries with short pauses.
bool wait_by_polling(int fd, Clock::time_point deadline)
{
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      return true;
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
}

// Takes the lock on `fd` within `timeout`: at once when it is free, else a fair wait.
bool lock_within(int fd, std::chrono::milliseconds timeout)
{
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    return true;
  }
  if (timeout <= std::chrono::milliseconds::zero()) {
    return false;
  }
  const auto deadline = Clock::now() + timeout;
  if (const auto waited = wait_with_timer(fd, deadline)) {
    return *waited;
  }
  return wait_by_polling(fd, deadline);
}

std::chrono::milliseconds to_millis(double seconds)
{
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::max(seconds, 0.0) * 1000.0));
}

} // namespace

ScopedLock::ScopedLock(const core::fs::Confined& file, double timeout_seconds)
    : m_key(key_of(file.root / file.rel))
{
  const Key key{m_key, std::this_thread::get_id()};
  {
    // A nested scope needs no lock file: answer it before touching the disk.
    std::lock_guard guard(registry_mutex());
    if (const auto it = registry().find(key); it != registry().end()) {
      ++it->second.depth;
      m_acquired = it->second.acquired;
      m_registered = true;
      return;
    }
  }
  Held held{.fd = -1, .depth = 1, .acquired = false};
  const core::fs::Confined lock_file = lock_file_of(file);
  try {
    held.fd = open_lock_file(lock_file).release();
  } catch (const core::fs::UnsafePathError& e) {
    // Already reported where it was refused; the scope's writes are refused as well.
    logger().debug(std::string(e.what()) + "; going ahead without the lock");
  } catch (const std::system_error& e) {
    logger().warning("cannot open lock file " + (lock_file.root / lock_file.rel).string() + " (" +
                     e.code().message() + "); going ahead without the lock");
  }
  if (held.fd >= 0) {
    // Never past the process's deadline: a hook that must finish gives up waiting.
    const auto timeout = core::deadline::clamp(to_millis(timeout_seconds));
    held.acquired = lock_within(held.fd, timeout);
    if (!held.acquired) {
      ::close(held.fd);
      held.fd = -1;
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(timeout.count()) / 1000.0);
      logger().warning("could not lock " + m_key.string() + " within " + seconds +
                       " s; going ahead without the lock");
    }
  }
  m_acquired = held.acquired;
  std::lock_guard guard(registry_mutex());
  registry().emplace(key, held);
  m_registered = true;
}

ScopedLock::~ScopedLock()
{
  if (!m_registered) {
    return;
  }
  std::lock_guard guard(registry_mutex());
  const auto it = registry().find(Key{m_key, std::this_thread::get_id()});
  if (it == registry().end() || --it->second.depth > 0) {
    return;
  }
  // Closing the last descriptor of the open file description releases the flock.
  if (it->second.fd >= 0) {
    ::close(it->second.fd);
  }
  registry().erase(it);
}

ScopedLock locked(const core::fs::Confined& file, std::optional<double> timeout_seconds)
{
  return ScopedLock(file, timeout_seconds.value_or(DEFAULT_TIMEOUT_SECONDS));
}

} // namespace kolvex::utils::filelock
