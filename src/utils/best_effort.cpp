#include "utils/best_effort.hpp"

#include "core/errors.hpp"

#include <string>

namespace kolvex::utils {

namespace {

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.utils.best_effort");
  return instance;
}

} // namespace

bool best_effort(std::string_view label, Audible audible, const std::function<void()>& body)
{
  try {
    body();
    return true;
  } catch (const std::exception& e) {
    // Reporting must not turn a swallowed failure into a thrown one (bad_alloc).
    try {
      std::string message(label);
      logger().debug_exception(message + " failed (best-effort)", e);
      if (audible == Audible::yes) {
        // The class name only: what() may carry paths, URLs or server answers.
        logger().warning(message + " failed: " + core::errors::short_name(e));
      }
    } catch (const std::exception&) {
    }
    return false;
  }
}

} // namespace kolvex::utils
