#pragma once

#include <filesystem>
#include <optional>

namespace kolvex::utils::filelock {

// How long `locked` waits by default before going ahead without the lock.
inline constexpr double DEFAULT_TIMEOUT_SECONDS = 10.0;

// An flock(2) on the sibling lock file "<path>.lock", held for the scope's life.
// Re-entrant within the process (a nested scope on the same path passes at once);
// fail-open: when the wait times out the scope still opens, without the lock, and
// acquired() says so.  The destructor releases the lock, also during unwinding.
class ScopedLock {
public:
  ScopedLock(const std::filesystem::path& path, double timeout_seconds);
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
  ~ScopedLock();
  [[nodiscard]] bool acquired() const { return m_acquired; }

private:
  std::filesystem::path m_key;
  bool m_acquired = false;
};

// Usage: `auto lock = locked(log_path);`
[[nodiscard]] ScopedLock locked(const std::filesystem::path& path,
                                std::optional<double> timeout_seconds = std::nullopt);

} // namespace kolvex::utils::filelock
