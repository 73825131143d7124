#pragma once

#include <string>
#include <string_view>

namespace kolvex::core {

// Lower-case hex SHA-256 of `bytes` (64 characters), computed with Nettle.
[[nodiscard]] std::string sha256_hex(std::string_view bytes);

} // namespace kolvex::core
