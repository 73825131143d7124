#pragma once

// User-facing messages.  On a terminal (and with NO_COLOR unset) they are styled;
// anywhere else each message is its text exactly, on one line, with no prefix, so
// that scripts, hooks and tests can compare it.

#include <string>
#include <string_view>

namespace kolvex::display::output {

// The kind of a message, which picks its stream and its style.
enum class Level { error, warning, success, info };

// True when `fd` is a terminal and the NO_COLOR environment variable is unset.
[[nodiscard]] bool colour_enabled(int fd);

// The line (without its newline) that a message of `level` with text `message`
// becomes: `message` itself when `colour` is false, else styled with ANSI colour.
[[nodiscard]] std::string format_message(Level level, std::string_view message, bool colour);

// One error line on stderr.
void error(std::string_view message);
// One warning line on stderr.
void warning(std::string_view message);
// One success line on stdout.
void success(std::string_view message);
// One informational line on stdout.
void info(std::string_view message);

// Plain output on stdout: the text as given, never styled, then a newline.
class Console {
public:
  // Writes `text` and a newline to stdout.
  void print(std::string_view text) const;
};

// The process's console.
[[nodiscard]] Console& console();

// Flushes stdout and returns the errno of the first write to it that failed (EIO
// when only the stream's error flag tells), 0 when everything written reached it.
[[nodiscard]] int stdout_error();

} // namespace kolvex::display::output
