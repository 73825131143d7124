#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace kolvex::core::logging {

// True when KOLVEX_DEBUG, trimmed and lower-cased, is 1, true, yes or on.  Read on
// every call, so the command line and the services always agree.
[[nodiscard]] bool debug_enabled();

// Marks this process as running a hook (the post-commit record, the session start,
// the post-tool row): its stderr belongs to the harness or to git, so notices there
// are debug lines.  `on` true marks it, false clears the mark.
void set_hook_path(bool on);

// True once set_hook_path(true) was called (and not cleared).
[[nodiscard]] bool on_hook_path();

// One named logger per source unit ("kolvex.relaycore.log").  Lines go to stderr as
// "<name>: <level>: <message>", each in one write(2) so that concurrent processes do
// not interleave within a line.  Warnings always; debug lines only when
// debug_enabled().  Nothing is ever written to stdout, which belongs to the harness.
class Logger {
public:
  // `name` prefixes every line.
  explicit Logger(std::string name);
  // `message` at debug level, when debugging is on.
  void debug(std::string_view message) const;
  // `message` at warning level, always.
  void warning(std::string_view message) const;
  // `message` at warning level on the command line, at debug level on a hook path:
  // something the user should hear about, but not from inside a commit or a session.
  void notice(std::string_view message) const;
  // When debugging is on: `message`, the trace of `e` (errors::trace_of) and last its
  // class name, message and nested causes (errors::describe).
  void debug_exception(std::string_view message, const std::exception& e) const;
  // The name given at construction.
  [[nodiscard]] const std::string& name() const { return m_name; }

private:
  void emit(std::string_view level, std::string_view message) const;

  std::string m_name;
};

} // namespace kolvex::core::logging
