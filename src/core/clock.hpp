#pragma once

#include "core/value.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace kolvex::core::clock {

// Current UTC time as "%Y-%m-%dT%H:%M:%SZ".
[[nodiscard]] std::string utc_now_iso();

// Current Unix time in seconds, with sub-second precision.
[[nodiscard]] double now_seconds();

// `epoch` (whole seconds) as "%Y-%m-%dT%H:%M:%SZ".
[[nodiscard]] std::string format_utc(long long epoch);

// Python's datetime.fromisoformat for the forms we meet ("2024-05-01T10:00:00Z",
// "+02:00" offsets, fractions, a space instead of "T", a date alone): returns a
// DateTime (naive when no zone was given), or nullopt when malformed.
[[nodiscard]] std::optional<DateTime> parse_iso8601(std::string_view text);

// Unix seconds of an aware date-time, or of a naive one taken as UTC.
[[nodiscard]] double to_epoch(const DateTime& dt);

} // namespace kolvex::core::clock
