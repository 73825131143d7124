#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace kolvex::core::errors {

// The unqualified, demangled class name of `e` ("system_error", "ApiError"): the
// only form in which an exception leaves a result record.
[[nodiscard]] std::string short_name(const std::exception& e);

// Base of our own error types: records the call chain where it is thrown.
class TracedError : public std::runtime_error {
public:
  explicit TracedError(const std::string& what);
  [[nodiscard]] const std::string& trace() const { return m_trace; }

private:
  std::string m_trace;
};

// A stack trace for the debug log: the throw site's for a TracedError, otherwise
// the current call chain (the place that caught it).
[[nodiscard]] std::string trace_of(const std::exception& e);

// The current call chain, one frame per line, demangled.
[[nodiscard]] std::string current_trace();

} // namespace kolvex::core::errors
