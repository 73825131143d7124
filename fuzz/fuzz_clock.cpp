// ISO 8601 date-times from outside (logs, YAML, server answers): whatever parses
// must be in range, and an aware value must survive formatting and parsing again.
#include "core/clock.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  namespace clock = kolvex::core::clock;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto parsed = clock::parse_iso8601(text);
  if (!parsed) {
    return 0;
  }
  const auto& dt = *parsed;
  if (dt.year < 1 || dt.year > 9999 || dt.month < 1 || dt.month > 12 || dt.day < 1 || dt.day > 31 ||
      dt.hour > 23 || dt.minute > 59 || dt.second > 59 || dt.microsecond < 0 ||
      dt.microsecond > 999999) {
    std::abort();
  }
  if (dt.utc_offset_minutes && std::abs(*dt.utc_offset_minutes) >= 24 * 60) {
    std::abort();
  }
  const double epoch = clock::to_epoch(dt);
  const auto whole = static_cast<long long>(std::floor(epoch));
  const auto again = clock::parse_iso8601(clock::format_utc(whole));
  if (!again || clock::to_epoch(*again) != static_cast<double>(whole)) {
    std::abort();
  }
  return 0;
}
