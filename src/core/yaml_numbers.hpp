#pragma once

#include "core/value.hpp"

#include <cstddef>
#include <string_view>

namespace kolvex::core::yaml {

// Integer literals longer than this many digits are refused, as Python refuses
// converting them, which also bounds the quadratic base conversion.
inline constexpr std::size_t k_max_integer_digits = 4300;

// The integer scalar `text` as SafeConstructor builds it: sign, `_` separators,
// 0b, 0x, 0o and leading-0 octal, sexagesimal `3:20`; an int64 when it fits, a
// BigInt of decimal digits otherwise.  Throws YamlError for malformed text.
[[nodiscard]] Value construct_int(std::string_view text);

// The float scalar `text` as SafeConstructor builds it: `_` dropped, `.inf` and
// `.nan` in any case, sexagesimal `1:20.5`, otherwise Python's float() of the
// rest.  Throws YamlError for malformed text.
[[nodiscard]] Value construct_float(std::string_view text);

} // namespace kolvex::core::yaml
