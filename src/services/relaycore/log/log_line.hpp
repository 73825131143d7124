#pragma once

// One line of the attestation log, judged in a single pass over its bytes: whether
// it is a JSON object, and the few members that decide how it counts ("commit",
// "event", "synced", "uploaded").  Reading a large log and rewriting it in place
// both rest on this, without building a Value for every line.

#include "core/value.hpp"

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace kolvex::services::relaycore::log {

// The "event" a line carries for a commit recorded without an attestation, by the
// reason it was recorded so, in this order: skipped, unattested.
inline constexpr std::array<std::pair<std::string_view, std::string_view>, 2> RECORD_REASON_EVENTS{
    {{"skipped", "attestation_skipped"}, {"unattested", "commit_unattested"}}};

// What the reader and the rewriters need of one line, found in one pass without
// building a Value.  `line` is judged by the grammar Python's json.loads accepts
// (NaN and Infinity included, JSON whitespace around the value allowed).
struct LogLineScan {
  enum class Shape { invalid, non_object, object };
  Shape shape = Shape::invalid;
  // Raw JSON text of the last top-level member of each name; empty when absent.
  std::string_view commit;
  std::string_view event;
  std::string_view synced;
  std::string_view uploaded;
  std::string_view replaced_by;
  // Some top-level key holds an escape, so it may name a member not seen above.
  bool escaped_key = false;
};

// Scans `line` (see LogLineScan).
[[nodiscard]] LogLineScan scan_log_line(std::string_view line);

// How an object line counts by event.
enum class LineEvent { attested, skipped, unattested };

// How one object line counts: its event, whether it was sent ("synced" or
// "uploaded" truthy) and, for a line not sent, whether its "commit" is a full sha
// (always false for a sent line, where it does not matter) and whether a rewrite
// replaced its commit ("replaced_by" names the commit that did; the replacing
// commit's record carries this one, so it is never sent on its own).
struct LineVerdict {
  LineEvent event = LineEvent::attested;
  bool sent = false;
  bool addressable = false;
  bool replaced = false;
  bool operator==(const LineVerdict&) const = default;
};

// The verdict for a parsed object line `line`.
[[nodiscard]] LineVerdict classify_log_line(const core::Map& line);

// The verdict read off an object line's `scan`, or nullopt when the raw text does
// not settle it (escaped keys or strings, a float that might round to zero) and
// the line must be parsed and judged by the overload above.
[[nodiscard]] std::optional<LineVerdict> classify_log_line(const LogLineScan& scan);

// `raw` (a JSON string token) without its quotes when it holds no escape, else
// nullopt; nullopt also for any other token.
[[nodiscard]] std::optional<std::string_view> plain_json_string(std::string_view raw);

} // namespace kolvex::services::relaycore::log
