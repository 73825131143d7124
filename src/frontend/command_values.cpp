#include "frontend/command_values.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>

namespace kolvex::frontend {

std::string counted(long long count, std::string_view noun)
{
  return std::to_string(count) + " " + std::string(noun) + (count == 1 ? "" : "s");
}

CLI::Validator id_number()
{
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        std::int64_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        const bool digits = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
          return c >= '0' && c <= '9';
        });
        if (digits && ec == std::errc() && end == text.data() + text.size() && value >= 1) {
          return {};
        }
        return "'" + text + "' is not an id: a whole number from 1 to " +
               std::to_string(std::numeric_limits<std::int64_t>::max());
      },
      "ID");
}

} // namespace kolvex::frontend
