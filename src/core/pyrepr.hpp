#pragma once

#include <string>

namespace kolvex::core {

// Python's repr() of a float: the shortest text that reads back as `value`, fixed
// notation for exponents -4..15 ("0.0001", "123.0"), scientific otherwise with a
// two-digit exponent ("1e+16", "1e-05"); "inf", "-inf", "nan" for the specials.
// JSON and YAML writers adapt the specials and exponents to their own forms.
[[nodiscard]] std::string float_repr(double value);

} // namespace kolvex::core
