#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kolvex::core::text {

// Python's str.strip() for ASCII whitespace (space, \t, \n, \r, \v, \f).
[[nodiscard]] std::string_view trim(std::string_view s);
[[nodiscard]] std::string lower(std::string_view s);
[[nodiscard]] bool starts_with(std::string_view s, std::string_view prefix);
[[nodiscard]] std::string join(const std::vector<std::string>& parts, std::string_view sep);
[[nodiscard]] std::vector<std::string> split(std::string_view s, char sep);

} // namespace kolvex::core::text
