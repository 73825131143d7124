#pragma once

#include "core/logging.hpp"

#include <exception>
#include <functional>
#include <string_view>

namespace kolvex::utils {

// Whether a swallowed failure is also shown to the user as a warning.
enum class Audible { yes, no };

// Runs `body`, swallowing any std::exception: logged at debug level as
// "<label> failed (best-effort)" with its trace, and, when `audible` is yes, a
// one-line warning "<label> failed: <class name>".  Returns whether the body
// completed.  Anything not derived from std::exception (thread cancellation) passes.
bool best_effort(std::string_view label, Audible audible, const std::function<void()>& body);

} // namespace kolvex::utils
