#include "core/logging.hpp"

#include "core/errors.hpp"
#include "core/text.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include <unistd.h>

namespace kolvex::core::logging {

bool debug_enabled()
{
  const char* value = std::getenv("KOLVEX_DEBUG");
  if (value == nullptr) {
    return false;
  }
  const std::string switch_value = text::lower(text::trim(value));
  return switch_value == "1" || switch_value == "true" || switch_value == "yes" ||
         switch_value == "on";
}

namespace {

std::atomic<bool> g_hook_path{false};

} // namespace

void set_hook_path(bool on)
{
  g_hook_path.store(on, std::memory_order_relaxed);
}

bool on_hook_path()
{
  return g_hook_path.load(std::memory_order_relaxed);
}

Logger::Logger(std::string name) : m_name(std::move(name)) {}

void Logger::debug(std::string_view message) const
{
  if (debug_enabled()) {
    emit("debug", message);
  }
}

void Logger::warning(std::string_view message) const
{
  emit("warning", message);
}

void Logger::notice(std::string_view message) const
{
  if (on_hook_path()) {
    debug(message);
  } else {
    warning(message);
  }
}

void Logger::debug_exception(std::string_view message, const std::exception& e) const
{
  if (!debug_enabled()) {
    return;
  }
  std::string body(message);
  body += '\n';
  body += errors::report(e);
  body.pop_back(); // emit ends the line
  emit("debug", body);
}

// Written straight to descriptor 2 rather than through std::cerr: one write per line
// keeps lines whole between processes, and no iostream state is involved.  A failing
// stderr is ignored: logging must never make an operation fail.
void Logger::emit(std::string_view level, std::string_view message) const
{
  std::string line;
  line.reserve(m_name.size() + level.size() + message.size() + 5);
  line += m_name;
  line += ": ";
  line += level;
  line += ": ";
  line += message;
  if (line.back() != '\n') {
    line += '\n';
  }
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return;
    }
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

} // namespace kolvex::core::logging
