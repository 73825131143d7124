#pragma once

#include "core/value.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace kolvex::core::clock {

// Current UTC time as "%Y-%m-%dT%H:%M:%SZ" (whole seconds).
[[nodiscard]] std::string utc_now_iso();

// Current Unix time in seconds, with sub-second precision.
[[nodiscard]] double now_seconds();

// `epoch` (whole Unix seconds, negative allowed) as "%Y-%m-%dT%H:%M:%SZ", the year
// zero-padded to four digits.
[[nodiscard]] std::string format_utc(long long epoch);

// Python 3.11's datetime.fromisoformat for the forms we meet: a date
// ("2024-05-01" or "20240501") alone or followed by one separator character ("T",
// " ", ...) and a time "HH[:MM[:SS[.f+]]]" (or "HHMM[SS]"; "," may stand for ".";
// digits past six are dropped), then optionally "Z" or an offset "+HH[:MM]"/"+HHMM".
// Returns a DateTime (naive when no zone was given) or nullopt when malformed or out
// of range.  Week dates and offsets with a non-zero seconds part are not accepted.
[[nodiscard]] std::optional<DateTime> parse_iso8601(std::string_view text);

// Unix seconds of an aware date-time, or of a naive one taken as UTC.
[[nodiscard]] double to_epoch(const DateTime& dt);

} // namespace kolvex::core::clock
