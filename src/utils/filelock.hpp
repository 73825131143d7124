#pragma once

#include "core/fs.hpp"

#include <filesystem>
#include <optional>

namespace kolvex::utils::filelock {

// How long `locked` waits by default before going ahead without the lock.  The
// longest holder is a rewrite of the whole log (read, mark, atomic replace), well
// under a second even for a large log; ten seconds rides out a slow disk or a
// burst of hooks, yet stays far inside the time a harness grants one hook.
inline constexpr double DEFAULT_TIMEOUT_SECONDS = 10.0;

// An flock(2) on the sibling lock file "<file>.lock" (created, parent directories
// included, when missing; opened close-on-exec so children do not inherit it, and
// beneath the caller's trusted root: never through a symbolic link or as a special
// file), held for the scope's life; a forked child does not share the locks of its
// parent.  The wait is a blocking flock bounded by a timer, so a waiter takes the
// lock as soon as it is let go, however busy the holder.  Another thread of the
// process waits like another process would.  A nested scope on the same path in the
// same thread gets what its outermost scope got at once: the lock it holds, or the
// time-out it already waited (it does not wait again).  Fail-open: when the wait
// times out, or the lock file cannot be made, the scope still opens without the
// lock, acquired() says so and a warning is logged.  No wait outlasts the process's
// core::deadline.  The destructor releases the lock, also during unwinding; the lock
// file itself is left in place (removing it would race with a waiter).
class ScopedLock {
public:
  // Waits up to `timeout_seconds` (<= 0: one try) for the lock on `file`.
  ScopedLock(const core::fs::Confined& file, double timeout_seconds);
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
  ~ScopedLock();
  // True when this scope holds the lock (itself or through an enclosing scope).
  [[nodiscard]] bool acquired() const { return m_acquired; }

private:
  std::filesystem::path m_key;
  bool m_acquired = false;
  bool m_registered = false;
};

// The lock scope on `file` (the key is its absolute, lexically normal form, so the
// file need not exist), waiting `timeout_seconds` or DEFAULT_TIMEOUT_SECONDS.
// Usage: `auto lock = locked(paths::confined(log_path));`
[[nodiscard]] ScopedLock locked(const core::fs::Confined& file,
                                std::optional<double> timeout_seconds = std::nullopt);

} // namespace kolvex::utils::filelock
