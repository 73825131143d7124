#include "utils/filelock.hpp"

#include "core/fs.hpp"
#include "core/logging.hpp"
#include "paths.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

namespace kolvex::utils::filelock {

namespace {

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.utils.filelock");
  return instance;
}

// The locks this process holds.  flock(2) locks belong to an open file description,
// so a second open() of the same lock file in this process would wait for our own
// lock; the registry hands nested scopes the lock already held instead.
struct Held {
  int fd = -1;
  int depth = 0;
  std::thread::id owner;
};

std::mutex& registry_mutex()
{
  static std::mutex instance;
  return instance;
}

std::map<std::filesystem::path, Held>& held_locks()
{
  static std::map<std::filesystem::path, Held> instance;
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
    ::close(held.fd);
  }
  held_locks().clear();
  registry_mutex().unlock();
}

std::map<std::filesystem::path, Held>& registry()
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

std::filesystem::path lock_file_of(const std::filesystem::path& key)
{
  std::filesystem::path lock = key;
  lock += ".lock";
  return lock;
}

// Opens (creating as needed, parents included) the lock file.  It lies beside the
// log under .kolvex/, so it is opened like every file there: never through a link.
core::fs::Fd open_lock_file(const std::filesystem::path& lock_path)
{
  const core::fs::Confined at = paths::confined(lock_path);
  core::fs::create_directories(at.parent());
  return core::fs::open_regular(at, O_RDWR | O_CREAT);
}

// One non-blocking try at the file lock; a lock another thread of this process
// holds counts as busy without asking the kernel.
bool try_once(const std::filesystem::path& key, int fd)
{
  std::lock_guard guard(registry_mutex());
  auto& held = registry();
  if (held.contains(key) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  held.emplace(key, Held{fd, 1, std::this_thread::get_id()});
  return true;
}

} // namespace

ScopedLock::ScopedLock(const std::filesystem::path& path, double timeout_seconds)
    : m_key(key_of(path))
{
  {
    // Re-entry needs no lock file: answer it before touching the disk.
    std::lock_guard guard(registry_mutex());
    if (const auto it = registry().find(m_key);
        it != registry().end() && it->second.owner == std::this_thread::get_id()) {
      ++it->second.depth;
      m_acquired = true;
      return;
    }
  }
  const std::filesystem::path lock_path = lock_file_of(m_key);
  int fd = -1;
  try {
    fd = open_lock_file(lock_path).release();
  } catch (const core::fs::UnsafePathError& e) {
    // Already reported where it was refused; the scope's writes are refused as well.
    logger().debug(std::string(e.what()) + "; going ahead without the lock");
    return;
  } catch (const std::system_error& e) {
    logger().warning("cannot open lock file " + lock_path.string() + " (" + e.code().message() +
                     "); going ahead without the lock");
    return;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(std::max(timeout_seconds, 0.0)));
  // Short sleeps at first, as most holders are brief; growing to 20 ms so that a
  // long wait does not spin.
  auto pause = std::chrono::milliseconds(1);
  for (;;) {
    if (try_once(m_key, fd)) {
      m_acquired = true;
      return;
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      break;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, std::chrono::milliseconds(20));
  }
  ::close(fd);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%g", timeout_seconds);
  logger().warning("could not lock " + m_key.string() + " within " + seconds +
                   " s; going ahead without the lock");
}

ScopedLock::~ScopedLock()
{
  if (!m_acquired) {
    return;
  }
  std::lock_guard guard(registry_mutex());
  const auto it = registry().find(m_key);
  if (it == registry().end() || --it->second.depth > 0) {
    return;
  }
  // Closing the last descriptor of the open file description releases the flock.
  ::close(it->second.fd);
  registry().erase(it);
}

ScopedLock locked(const std::filesystem::path& path, std::optional<double> timeout_seconds)
{
  return ScopedLock(path, timeout_seconds.value_or(DEFAULT_TIMEOUT_SECONDS));
}

} // namespace kolvex::utils::filelock
