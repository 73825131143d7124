#include "display/output.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace kolvex::display::output {

namespace {

struct Style {
  std::string_view sgr;    // SGR parameters of the whole line
  std::string_view marker; // a symbol put before the text
};

Style style_of(Level level)
{
  switch (level) {
  case Level::error:
    return {"1;31", "\u2717 "};
  case Level::warning:
    return {"33", "! "};
  case Level::success:
    return {"32", "\u2713 "};
  case Level::info:
    return {"36", ""};
  }
  return {"0", ""};
}

// The first error of a write to stdout; the stream's own flag does not keep errno.
int g_stdout_errno = 0;

void note_stdout_error(std::FILE* stream)
{
  if (stream == stdout && g_stdout_errno == 0 && std::ferror(stdout) != 0) {
    g_stdout_errno = errno != 0 ? errno : EIO;
  }
}

void write_line(std::FILE* stream, std::string_view line)
{
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
}

void flush(std::FILE* stream)
{
  errno = 0;
  std::fflush(stream);
  note_stdout_error(stream);
}

void emit(Level level, std::string_view message)
{
  const bool to_stderr = level == Level::error || level == Level::warning;
  std::FILE* stream = to_stderr ? stderr : stdout;
  if (to_stderr) {
    // Keep what was already printed on stdout before this line on a shared terminal.
    flush(stdout);
  }
  write_line(stream, format_message(level, message, colour_enabled(fileno(stream))));
  flush(stream);
}

} // namespace

bool colour_enabled(int fd)
{
  return std::getenv("NO_COLOR") == nullptr && ::isatty(fd) == 1;
}

std::string format_message(Level level, std::string_view message, bool colour)
{
  if (!colour) {
    return std::string(message);
  }
  const auto style = style_of(level);
  std::string line;
  line.reserve(message.size() + 16);
  line.append("\x1b[").append(style.sgr).append("m");
  line.append(style.marker).append(message);
  line.append("\x1b[0m");
  return line;
}

void error(std::string_view message)
{
  emit(Level::error, message);
}

void warning(std::string_view message)
{
  emit(Level::warning, message);
}

void success(std::string_view message)
{
  emit(Level::success, message);
}

void info(std::string_view message)
{
  emit(Level::info, message);
}

void Console::print(std::string_view text) const
{
  write_line(stdout, text);
  flush(stdout);
}

int stdout_error()
{
  flush(stdout);
  return g_stdout_errno;
}

Console& console()
{
  static Console instance;
  return instance;
}

} // namespace kolvex::display::output
