#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kolvex::core::process {

enum class Session { inherit, new_group };

struct Options {
  // Working directory; absent means the caller's.
  std::optional<std::filesystem::path> cwd;
  // Bytes written to the child's stdin; absent means the null device.
  std::optional<std::string> input;
  // After this the child (its whole group with Session::new_group) gets SIGKILL.
  std::chrono::milliseconds timeout{10'000};
  // new_group: the child leads a new session, so the kill reaches grandchildren.
  Session session = Session::new_group;
};

struct Result {
  int exit_code = -1;       // exit status, or -1 when killed by a signal
  bool timed_out = false;   // the limit ran out and the child was killed
  std::string out;          // captured stdout bytes
  std::string err;          // captured stderr bytes
};

// Runs `argv` (argv[0] looked up on PATH, never through a shell).  Throws
// std::system_error when the child cannot be started (missing program, missing
// cwd); a child that starts and then fails is reported in the Result.
[[nodiscard]] Result run(const std::vector<std::string>& argv, const Options& options = {});

// `bytes` decoded as UTF-8 with U+FFFD for every invalid sequence, as Python's
// errors="replace" does.
[[nodiscard]] std::string decode_replace(std::string_view bytes);

} // namespace kolvex::core::process
