#include "core/errors.hpp"

#include "utils/best_effort.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <new>
#include <system_error>

namespace errors = kolvex::core::errors;

namespace kolvex::contracts_test {
class ApiError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
template <typename T> class Wrapped : public T {
public:
  using T::T;
};
template <typename T> struct Outer {
  class Inner : public std::logic_error {
  public:
    using std::logic_error::logic_error;
  };
};
class ThrowSiteError : public errors::TracedError {
public:
  using errors::TracedError::TracedError;
};
} // namespace kolvex::contracts_test

namespace {
class LocalError : public std::exception {};
} // namespace

TEST(ShortName, IsTheUnqualifiedDynamicClassName)
{
  using namespace kolvex::contracts_test;
  EXPECT_EQ(errors::short_name(std::runtime_error("x")), "runtime_error");
  EXPECT_EQ(errors::short_name(std::system_error(std::make_error_code(std::errc::io_error))),
            "system_error");
  EXPECT_EQ(errors::short_name(
                std::filesystem::filesystem_error("x", std::make_error_code(std::errc::io_error))),
            "filesystem_error");
  EXPECT_EQ(errors::short_name(std::bad_alloc()), "bad_alloc");
  EXPECT_EQ(errors::short_name(ApiError("x")), "ApiError");
  EXPECT_EQ(errors::short_name(LocalError()), "LocalError");
  EXPECT_EQ(errors::short_name(Wrapped<std::runtime_error>("x")), "Wrapped");
  EXPECT_EQ(errors::short_name(Outer<int>::Inner("x")), "Inner");
  EXPECT_EQ(errors::short_name(ThrowSiteError("x")), "ThrowSiteError");

  // The dynamic type counts, not the static one the handler names.
  try {
    throw ApiError("HTTP 500");
  } catch (const std::exception& e) {
    EXPECT_EQ(errors::short_name(e), "ApiError");
  }
}

TEST(Trace, TracedErrorKeepsTheThrowSiteChain)
{
  using kolvex::contracts_test::ThrowSiteError;
  std::string trace;
  std::string copied_trace;
  try {
    throw ThrowSiteError("failed");
  } catch (const errors::TracedError& e) {
    trace = e.trace();
    const errors::TracedError copy = e; // a copy shares the recorded chain
    copied_trace = copy.trace();
    EXPECT_EQ(errors::trace_of(e), trace);
  }
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(trace.rfind("#0 ", 0), 0U) << trace;
  EXPECT_NE(trace.find("\n#1 "), std::string::npos) << trace;
  EXPECT_EQ(copied_trace, trace);
  // The machinery that records the chain is not part of it: the first frame is in
  // the test program, where the error was thrown.
  EXPECT_EQ(trace.find("TracedError::TracedError"), std::string::npos) << trace;
  EXPECT_NE(trace.substr(0, trace.find('\n')).find(" in kolvex_tests"), std::string::npos) << trace;
}

TEST(Trace, CurrentTraceNamesDemangledCallers)
{
  std::string trace;
  const bool completed = kolvex::utils::best_effort("probe", kolvex::utils::Audible::no, [&] {
    trace = errors::trace_of(std::runtime_error("probe"));
  });
  ASSERT_TRUE(completed);
  EXPECT_NE(trace.substr(0, trace.find('\n')).find(" in kolvex_tests"), std::string::npos) << trace;
  // best_effort lives in the shared library, whose symbols are exported.
  EXPECT_NE(trace.find("kolvex::utils::best_effort("), std::string::npos) << trace;
  EXPECT_EQ(trace.find("_ZN"), std::string::npos) << "mangled names left:\n" << trace;

  // For a foreign exception the trace is where it is examined.
  const std::string here = errors::trace_of(std::runtime_error("x"));
  EXPECT_EQ(here.rfind("#0 ", 0), 0U) << here;
}

TEST(Describe, NamesTheClassAndEveryNestedCause)
{
  try {
    try {
      throw std::system_error(std::make_error_code(std::errc::permission_denied), "open log");
    } catch (...) {
      std::throw_with_nested(std::runtime_error("could not record"));
    }
  } catch (const std::exception& e) {
    EXPECT_EQ(errors::short_name(e), "runtime_error"); // not the library's wrapper
    const std::string text = errors::describe(e);
    EXPECT_EQ(text.rfind("runtime_error: could not record\ncaused by: system_error: open log", 0),
              0U)
        << text;
  }
}
