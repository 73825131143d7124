#include "services/relaycore/log/log_line.hpp"

#include "services/relaycore/log/git.hpp"

#include <bit>
#include <bitset>
#include <cstdint>
#include <cstring>

namespace kolvex::services::relaycore::log {

namespace {

constexpr std::string_view k_event_skipped = RECORD_REASON_EVENTS[0].second;
constexpr std::string_view k_event_unattested = RECORD_REASON_EVENTS[1].second;

// Nesting beyond this is refused, as the full parser refuses it, so that both
// judge a deeply nested line alike.
constexpr std::size_t k_max_depth = 1000;

bool is_json_space(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

const char* skip_json_space(const char* p, const char* end)
{
  while (p != end && is_json_space(*p)) {
    ++p;
  }
  return p;
}

// ---- Scanning ---------------------------------------------------------------

// The bytes of `word` that a string scan must stop at ('"', '\\', below 0x20), as
// the high bit of each.  The usual SWAR tests: a flag may be false only above a
// true one, so the lowest flag always marks the first stop byte.
std::uint64_t string_stops(std::uint64_t word)
{
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  auto zero_bytes = [&](std::uint64_t v) { return (v - ones) & ~v; };
  const std::uint64_t quote = zero_bytes(word ^ (ones * '"'));
  const std::uint64_t backslash = zero_bytes(word ^ (ones * '\\'));
  const std::uint64_t control = (word - ones * 0x20) & ~word;
  return (quote | backslash | control) & highs;
}

bool is_hex(char c)
{
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_digit(char c)
{
  return c >= '0' && c <= '9';
}

// `p` is at an opening quote.  Returns the position after the closing quote, or
// nullptr for a malformed string (raw control character, bad escape, no end).
const char* skip_string(const char* p, const char* end, bool& escaped)
{
  ++p;
  for (;;) {
    while (end - p >= 8) {
      std::uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if constexpr (std::endian::native == std::endian::little) {
        if (const std::uint64_t stops = string_stops(word); stops != 0) {
          p += std::countr_zero(stops) / 8;
          break;
        }
      } else if (string_stops(word) != 0) {
        break;
      }
      p += 8;
    }
    if (p == end) {
      return nullptr;
    }
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      return p + 1;
    }
    if (c == '\\') {
      escaped = true;
      if (end - p < 2) {
        return nullptr;
      }
      const char e = p[1];
      if (e == 'u') {
        if (end - p < 6 || !is_hex(p[2]) || !is_hex(p[3]) || !is_hex(p[4]) || !is_hex(p[5])) {
          return nullptr;
        }
        p += 6;
      } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' ||
                 e == 'r' || e == 't') {
        p += 2;
      } else {
        return nullptr;
      }
      continue;
    }
    if (c < 0x20) {
      return nullptr;
    }
    ++p;
  }
}

const char* skip_digits(const char* p, const char* end)
{
  while (p != end && is_digit(*p)) {
    ++p;
  }
  return p;
}

const char* skip_literal(const char* p, const char* end, std::string_view word)
{
  if (static_cast<std::size_t>(end - p) < word.size() ||
      std::memcmp(p, word.data(), word.size()) != 0) {
    return nullptr;
  }
  return p + word.size();
}

// A number as Python's scanner matches it, -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?,
// or one of NaN, Infinity, -Infinity, true, false, null.  A '.' or 'e' without digits
// after it can never be followed validly, so failing on it is the same verdict.
const char* skip_scalar(const char* p, const char* end)
{
  switch (*p) {
  case 't':
    return skip_literal(p, end, "true");
  case 'f':
    return skip_literal(p, end, "false");
  case 'n':
    return skip_literal(p, end, "null");
  case 'N':
    return skip_literal(p, end, "NaN");
  case 'I':
    return skip_literal(p, end, "Infinity");
  default:
    break;
  }
  if (*p == '-') {
    ++p;
    if (p != end && *p == 'I') {
      return skip_literal(p, end, "Infinity");
    }
  }
  if (p == end) {
    return nullptr;
  }
  if (*p == '0') {
    ++p;
  } else if (*p >= '1' && *p <= '9') {
    p = skip_digits(p, end);
  } else {
    return nullptr;
  }
  if (p != end && *p == '.') {
    ++p;
    if (p == end || !is_digit(*p)) {
      return nullptr;
    }
    p = skip_digits(p, end);
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end && (*p == '+' || *p == '-')) {
      ++p;
    }
    if (p == end || !is_digit(*p)) {
      return nullptr;
    }
    p = skip_digits(p, end);
  }
  return p;
}

// Skips the container starting at `p` ('{' or '['), nested `depth` levels deep
// already.  Iterative, so hostile nesting cannot exhaust the stack.
const char* skip_container(const char* p, const char* end, std::size_t depth)
{
  std::bitset<k_max_depth + 1> in_object;
  std::size_t level = 0;
  bool expect_key = false;
  for (;;) {
    p = skip_json_space(p, end);
    if (p == end) {
      return nullptr;
    }
    if (expect_key) {
      bool escaped = false;
      if (*p != '"' || (p = skip_string(p, end, escaped)) == nullptr) {
        return nullptr;
      }
      p = skip_json_space(p, end);
      if (p == end || *p != ':') {
        return nullptr;
      }
      p = skip_json_space(p + 1, end);
      if (p == end) {
        return nullptr;
      }
    }
    const char c = *p;
    if (c == '{' || c == '[') {
      if (depth + level + 1 > k_max_depth) {
        return nullptr;
      }
      const bool object = c == '{';
      p = skip_json_space(p + 1, end);
      if (p == end) {
        return nullptr;
      }
      if (*p == (object ? '}' : ']')) {
        ++p;
      } else {
        ++level;
        in_object[level] = object;
        expect_key = object;
        continue;
      }
    } else if (c == '"') {
      bool escaped = false;
      p = skip_string(p, end, escaped);
    } else {
      p = skip_scalar(p, end);
    }
    if (p == nullptr) {
      return nullptr;
    }
    // A value ended: close finished containers, or step to the next element.
    for (;;) {
      if (level == 0) {
        return p;
      }
      p = skip_json_space(p, end);
      if (p == end) {
        return nullptr;
      }
      const bool object = in_object[level];
      if (*p == ',') {
        ++p;
        expect_key = object;
        break;
      }
      if (*p != (object ? '}' : ']')) {
        return nullptr;
      }
      ++p;
      --level;
    }
  }
}

// One value at `p` (no leading whitespace), `depth` levels deep; nullptr when invalid.
const char* skip_value(const char* p, const char* end, std::size_t depth)
{
  if (*p == '{' || *p == '[') {
    return skip_container(p, end, depth);
  }
  if (*p == '"') {
    bool escaped = false;
    return skip_string(p, end, escaped);
  }
  return skip_scalar(p, end);
}

// ---- Classification ---------------------------------------------------------

LineEvent event_of_name(std::string_view name)
{
  if (name == k_event_skipped) {
    return LineEvent::skipped;
  }
  if (name == k_event_unattested) {
    return LineEvent::unattested;
  }
  return LineEvent::attested;
}

// Python's truth test read off a raw token; nullopt when only the parsed value can
// tell (a float with a non-zero mantissa and a negative exponent may round to 0.0).
std::optional<bool> raw_truthy(std::string_view raw)
{
  if (raw.empty()) {
    return false; // absent
  }
  switch (raw.front()) {
  case '"':
    return raw.size() > 2;
  case 't':
  case 'N':
  case 'I':
    return true;
  case 'f':
  case 'n':
    return false;
  case '[':
  case '{': {
    const char* inner = skip_json_space(raw.data() + 1, raw.data() + raw.size());
    return *inner != ']' && *inner != '}';
  }
  default:
    break;
  }
  if (raw.size() > 1 && raw[0] == '-' && raw[1] == 'I') {
    return true;
  }
  const std::size_t exponent = raw.find_first_of("eE");
  const std::string_view mantissa = raw.substr(0, exponent);
  const bool nonzero = mantissa.find_first_of("123456789") != std::string_view::npos;
  if (!nonzero) {
    return false;
  }
  if (exponent != std::string_view::npos && raw.find('-', exponent) != std::string_view::npos) {
    return std::nullopt;
  }
  return true;
}

bool commit_value_addressable(const core::Value* commit)
{
  return commit != nullptr && commit->is_string() && _is_valid_commit_hash(commit->as_string());
}

} // namespace

std::optional<std::string_view> plain_json_string(std::string_view raw)
{
  if (raw.size() < 2 || raw.front() != '"' || raw.find('\\') != std::string_view::npos) {
    return std::nullopt;
  }
  return raw.substr(1, raw.size() - 2);
}

LogLineScan scan_log_line(std::string_view line)
{
  LogLineScan scan;
  const char* const end = line.data() + line.size();
  const char* p = skip_json_space(line.data(), end);
  if (p == end) {
    return scan;
  }
  if (*p != '{') {
    p = skip_value(p, end, 0);
    if (p != nullptr && skip_json_space(p, end) == end) {
      scan.shape = LogLineScan::Shape::non_object;
    }
    return scan;
  }
  p = skip_json_space(p + 1, end);
  if (p == end) {
    return scan;
  }
  if (*p == '}') {
    ++p;
  } else {
    for (;;) {
      if (*p != '"') {
        return scan;
      }
      const char* key_start = p;
      bool escaped = false;
      p = skip_string(p, end, escaped);
      if (p == nullptr) {
        return scan;
      }
      const std::string_view key(key_start + 1, static_cast<std::size_t>(p - key_start - 2));
      p = skip_json_space(p, end);
      if (p == end || *p != ':') {
        return scan;
      }
      p = skip_json_space(p + 1, end);
      if (p == end) {
        return scan;
      }
      const char* value_start = p;
      p = skip_value(p, end, 1);
      if (p == nullptr) {
        return scan;
      }
      const std::string_view raw(value_start, static_cast<std::size_t>(p - value_start));
      if (escaped) {
        scan.escaped_key = true;
      } else if (key == "commit") {
        scan.commit = raw;
      } else if (key == "event") {
        scan.event = raw;
      } else if (key == "synced") {
        scan.synced = raw;
      } else if (key == "uploaded") {
        scan.uploaded = raw;
      } else if (key == "replaced_by") {
        scan.replaced_by = raw;
      }
      p = skip_json_space(p, end);
      if (p == end) {
        return scan;
      }
      if (*p == '}') {
        ++p;
        break;
      }
      if (*p != ',') {
        return scan;
      }
      p = skip_json_space(p + 1, end);
      if (p == end) {
        return scan;
      }
    }
  }
  if (skip_json_space(p, end) != end) {
    return scan;
  }
  scan.shape = LogLineScan::Shape::object;
  return scan;
}

LineVerdict classify_log_line(const core::Map& line)
{
  LineVerdict verdict;
  if (const core::Value* event = line.find("event"); event != nullptr && event->is_string()) {
    verdict.event = event_of_name(event->as_string());
  }
  const core::Value* synced = line.find("synced");
  const core::Value* uploaded = line.find("uploaded");
  verdict.sent = (synced != nullptr && core::truthy(*synced)) ||
                 (uploaded != nullptr && core::truthy(*uploaded));
  verdict.addressable = !verdict.sent && commit_value_addressable(line.find("commit"));
  verdict.replaced = !verdict.sent && commit_value_addressable(line.find("replaced_by"));
  return verdict;
}

std::optional<LineVerdict> classify_log_line(const LogLineScan& scan)
{
  if (scan.escaped_key) {
    return std::nullopt;
  }
  LineVerdict verdict;
  if (!scan.event.empty() && scan.event.front() == '"') {
    const auto name = plain_json_string(scan.event);
    if (!name) {
      return std::nullopt;
    }
    verdict.event = event_of_name(*name);
  }
  const auto synced = raw_truthy(scan.synced);
  const auto uploaded = raw_truthy(scan.uploaded);
  if ((synced && *synced) || (uploaded && *uploaded)) {
    verdict.sent = true;
    return verdict;
  }
  if (!synced || !uploaded) {
    return std::nullopt;
  }
  if (!scan.commit.empty() && scan.commit.front() == '"') {
    const auto commit = plain_json_string(scan.commit);
    if (!commit) {
      return std::nullopt;
    }
    verdict.addressable = _is_valid_commit_hash(*commit);
  }
  if (!scan.replaced_by.empty() && scan.replaced_by.front() == '"') {
    const auto by = plain_json_string(scan.replaced_by);
    if (!by) {
      return std::nullopt;
    }
    verdict.replaced = _is_valid_commit_hash(*by);
  }
  return verdict;
}

} // namespace kolvex::services::relaycore::log
