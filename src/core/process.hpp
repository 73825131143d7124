#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::core::process {

// Whether the child stays in our process group or leads a new session of its own.
enum class Session { inherit, new_group };

// How to run a child; the defaults suit a git query.
struct Options {
  // Working directory; absent means the caller's.
  std::optional<std::filesystem::path> cwd;
  // Bytes written to the child's stdin; absent means the null device.
  std::optional<std::string> input;
  // After this the child (its whole group with Session::new_group) gets SIGKILL and
  // run() returns at once, even if a descendant that escaped the kill still holds
  // the output pipes open.  Never past the process's core::deadline: once that has
  // passed, run() starts nothing and reports a time-out.
  std::chrono::milliseconds timeout{10'000};
  // new_group: the child leads a new session, so the kill reaches grandchildren.
  Session session = Session::new_group;
};

// What a finished (or killed) child left behind.
struct Result {
  int exit_code = -1;     // exit status, or -1 when killed by a signal
  bool timed_out = false; // the limit ran out before the child and its output were done
  std::string out;        // captured stdout bytes
  std::string err;        // captured stderr bytes
};

// Runs `argv` (argv[0], unless it holds a "/", looked up as find_program does, never
// through a shell) with the caller's environment less kolvex's secrets
// (KOLVEX_API_KEY and any other KOLVEX_ key, token, secret or password) and no
// descriptors but 0-2.  The child is always reaped before this
// returns.  Throws std::system_error when the child cannot be started (empty argv,
// missing program, missing cwd: ENOENT); a child that starts and then fails is
// reported in the Result.
[[nodiscard]] Result run(const std::vector<std::string>& argv, const Options& options = {});

// The first executable regular file named `name` in the absolute directories of
// PATH, as run() finds it; nullopt when there is none.  Empty and relative entries
// (which the shell takes as the current directory) are passed over: kolvex runs
// inside repositories, and a program found there would be the repository's.
[[nodiscard]] std::optional<std::filesystem::path> find_program(std::string_view name);

// `bytes` decoded as UTF-8 with U+FFFD for every maximal ill-formed subpart, exactly
// as Python's bytes.decode("utf-8", "replace") does.
[[nodiscard]] std::string decode_replace(std::string_view bytes);

} // namespace kolvex::core::process
