#pragma once

#include "core/logging.hpp"

#include <exception>
#include <functional>
#include <string_view>

namespace kolvex::utils {

enum class Audible { yes, no };

// Runs `body`, swallowing any std::exception: logged at debug level as
// "<label> failed (best-effort)" with its trace, and, when `audible` is yes, a
// one-line warning naming the label and the exception's class name.  Returns
// whether the body completed.
bool best_effort(std::string_view label, Audible audible, const std::function<void()>& body);

} // namespace kolvex::utils
