#pragma once

#include <string>
#include <string_view>

namespace kolvex::core::logging {

// True when KOLVEX_DEBUG, trimmed and lower-cased, is 1, true, yes or on.
[[nodiscard]] bool debug_enabled();

// One named logger per source unit ("kolvex.relaycore.log").  Warnings always go to
// stderr; debug lines only when debug_enabled().  Nothing is ever written to stdout.
class Logger {
public:
  explicit Logger(std::string name);
  void debug(std::string_view message) const;
  void warning(std::string_view message) const;
  // Debug line followed by the exception's trace (errors::trace_of).
  void debug_exception(std::string_view message, const std::exception& e) const;
  [[nodiscard]] const std::string& name() const { return m_name; }

private:
  std::string m_name;
};

} // namespace kolvex::core::logging
