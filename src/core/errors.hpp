#pragma once

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>

namespace kolvex::core::errors {

// The unqualified, demangled class name of `e`'s dynamic type, namespaces and
// template arguments dropped ("system_error", "filesystem_error", "ApiError"): the
// only form in which an exception leaves a result record.
[[nodiscard]] std::string short_name(const std::exception& e);

// Base of our own error types: records the call chain where it is constructed (the
// throw site).  Only the raw return addresses are taken then; they are turned into
// names the first time trace() is asked for, so a throw stays cheap.
class TracedError : public std::runtime_error {
public:
  explicit TracedError(const std::string& what);
  // The call chain at construction, one demangled frame per line, innermost first.
  [[nodiscard]] const std::string& trace() const;

private:
  struct Frames;
  // Shared so that copies of the exception (a throw copies) stay cheap and noexcept.
  std::shared_ptr<Frames> m_frames;
};

// A stack trace for the debug log: the throw site's for a TracedError, otherwise
// the current call chain (the place that caught it).
[[nodiscard]] std::string trace_of(const std::exception& e);

// `e`'s short_name and what() ("ApiError: HTTP 500"), followed by one "caused by:"
// line per exception nested in it (std::nested_exception).  For the debug log only:
// what() may carry paths and URLs.
[[nodiscard]] std::string describe(const std::exception& e);

// "Traceback (innermost frame first):", the trace of `e` (trace_of) and last its
// description (describe), ending in a newline: what the debug log and debug lines
// show of a failure.  For local diagnosis only: what() may carry paths and URLs.
[[nodiscard]] std::string report(const std::exception& e);

} // namespace kolvex::core::errors
