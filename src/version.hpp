#pragma once

#include <string_view>

namespace kolvex {

// The release this build belongs to, as printed by `kolvex --version` and sent in
// the User-Agent header.
[[nodiscard]] std::string_view version();

} // namespace kolvex
