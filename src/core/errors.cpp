#include "core/errors.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <typeinfo>
#include <vector>

#include <cxxabi.h>
#include <execinfo.h>

namespace kolvex::core::errors {

struct TracedError::Frames {
  std::vector<void*> addresses;
  std::once_flag once;
  std::string text;
};

namespace {

constexpr int k_max_frames = 64;

std::string demangle(const char* mangled)
{
  int status = 0;
  char* plain = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  if (status != 0 || plain == nullptr) {
    return mangled;
  }
  std::string out(plain);
  std::free(plain);
  return out;
}

// The return addresses of the current call chain from `first` outwards: `first` is
// the return address into the frame that should head the trace, so the recording
// machinery (and anything a sanitizer interposes on backtrace()) stays out of it
// whatever the compiler inlined.  When `first` is not found the whole chain is kept.
std::vector<void*> capture_from(const void* first)
{
  void* buffer[k_max_frames];
  const int n = ::backtrace(buffer, k_max_frames);
  int start = 0;
  for (int i = 0; i < n; ++i) {
    if (buffer[i] == first) {
      start = i;
      break;
    }
  }
  return std::vector<void*>(buffer + start, buffer + std::max(n, start));
}

std::string frame_number(std::size_t index)
{
  std::string out("#");
  out += std::to_string(index);
  out += ' ';
  return out;
}

// backtrace_symbols writes "object(mangled+0x1f) [0xaddr]"; we keep the demangled
// function, its offset and the object's file name, which is what a reader needs.
std::string format_frame(std::size_t index, std::string_view raw)
{
  std::string line = frame_number(index);
  const std::size_t open = raw.find('(');
  const std::size_t close = raw.find(')', open == std::string_view::npos ? 0 : open);
  if (open == std::string_view::npos || close == std::string_view::npos) {
    return line + std::string(raw);
  }
  std::string_view object = raw.substr(0, open);
  if (const std::size_t slash = object.rfind('/'); slash != std::string_view::npos) {
    object.remove_prefix(slash + 1);
  }
  const std::string_view inside = raw.substr(open + 1, close - open - 1);
  const std::size_t plus = inside.rfind('+');
  const std::string symbol(inside.substr(0, plus));
  const std::string_view offset =
      plus == std::string_view::npos ? std::string_view{} : inside.substr(plus);
  if (symbol.empty()) {
    // A symbol the dynamic table does not export (file-local functions): the object
    // offset is all there is, and addr2line can map it.
    line += "?? ";
    line += offset;
  } else {
    line += demangle(symbol.c_str());
    line += " ";
    line += offset;
  }
  line += " in ";
  line += object;
  return line;
}

std::string format_frames(const std::vector<void*>& frames)
{
  if (frames.empty()) {
    return "(no stack trace available)\n";
  }
  char** symbols = ::backtrace_symbols(frames.data(), static_cast<int>(frames.size()));
  std::string out;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (symbols != nullptr) {
      out += format_frame(i, symbols[i]);
    } else {
      out += frame_number(i);
      out += "??";
    }
    out += '\n';
  }
  std::free(symbols);
  return out;
}

// The class name without namespaces and template arguments: characters inside <...>
// are dropped first, so "ns::Outer<int>::Inner" and "wrapexcept<std::runtime_error>"
// give "Inner" and "wrapexcept".
std::string unqualified(std::string_view full)
{
  std::string outer;
  int depth = 0;
  for (char c : full) {
    if (c == '<') {
      ++depth;
    } else if (c == '>') {
      depth = depth > 0 ? depth - 1 : 0;
    } else if (depth == 0) {
      outer += c;
    }
  }
  const std::size_t colons = outer.rfind("::");
  return colons == std::string::npos ? outer : outer.substr(colons + 2);
}

void describe_into(std::string& out, const std::exception& e, int depth)
{
  out += short_name(e);
  out += ": ";
  out += e.what();
  // A chain of nested causes is finite, but a bound keeps a self-nested exception
  // from looping.
  if (depth >= 16) {
    return;
  }
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& cause) {
    out += "\ncaused by: ";
    describe_into(out, cause, depth + 1);
  } catch (...) {
    out += "\ncaused by: a non-standard exception";
  }
}

} // namespace

std::string short_name(const std::exception& e)
{
  std::string_view full;
  const std::string demangled = demangle(typeid(e).name());
  full = demangled;
  // std::throw_with_nested wraps the thrown type in a library template; the class
  // the code threw is its argument.
  static constexpr std::string_view k_nested = "std::_Nested_exception<";
  if (full.starts_with(k_nested) && full.ends_with('>')) {
    full = full.substr(k_nested.size(), full.size() - k_nested.size() - 1);
  }
  return unqualified(full);
}

TracedError::TracedError(const std::string& what)
    : std::runtime_error(what), m_frames(std::make_shared<Frames>())
{
  // The first frame is the code that constructed (and so threw) the error.
  m_frames->addresses = capture_from(__builtin_return_address(0));
}

const std::string& TracedError::trace() const
{
  std::call_once(m_frames->once, [this] { m_frames->text = format_frames(m_frames->addresses); });
  return m_frames->text;
}

std::string trace_of(const std::exception& e)
{
  if (const auto* traced = dynamic_cast<const TracedError*>(&e)) {
    return traced->trace();
  }
  return format_frames(capture_from(__builtin_return_address(0)));
}

std::string describe(const std::exception& e)
{
  std::string out;
  describe_into(out, e, 0);
  return out;
}

std::string report(const std::exception& e)
{
  std::string out = "Traceback (innermost frame first):\n";
  out += trace_of(e);
  out += describe(e);
  out += '\n';
  return out;
}

} // namespace kolvex::core::errors
