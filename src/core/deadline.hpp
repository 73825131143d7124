#pragma once

// A time by which this process must be done.  The git post-commit hook runs inside
// `git commit`, so whatever the repository holds (a huge log, a hung git, a lock
// held elsewhere) it must give up in time: the waits that can be long (child
// processes, the log lock, reading the log) are cut to the time left, and the work
// before a write checks it.  What is given up is recorded later by the session
// start's catch-up walk.  Without a deadline set, nothing here changes anything.

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace kolvex::core::deadline {

using Clock = std::chrono::steady_clock;

// Thrown by check() once the deadline has passed.  Not a std::system_error, so the
// fail-open handlers of file errors let it through to the operation's boundary.
class DeadlineExceeded : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Sets the deadline of this process `budget` from now (replacing any earlier one).
void set_after(std::chrono::milliseconds budget);

// Removes the deadline (tests).
void clear();

// The deadline, when one is set.
[[nodiscard]] std::optional<Clock::time_point> current();

// `limit` cut to the time left before the deadline (zero once it has passed);
// `limit` itself when no deadline is set.
[[nodiscard]] std::chrono::milliseconds clamp(std::chrono::milliseconds limit);

// True when a deadline is set and has passed.
[[nodiscard]] bool passed();

// Throws DeadlineExceeded, naming `what` was given up, once the deadline has passed.
void check(std::string_view what);

// The last resort behind the deadline: `after` from now the process ends with
// _exit(`status`) wherever it is, for work that does not check (a harness's
// transcript read in a huge store).  Only a process whose every write is safe to cut
// short may arm it: a torn last line is re-terminated by the next append, and a
// record whose line is missing is completed by the next capture.
void hard_stop_after(std::chrono::seconds after, int status);

} // namespace kolvex::core::deadline
