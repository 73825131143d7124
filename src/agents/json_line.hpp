#pragma once

// Reading one JSON line of a transcript with simdjson's DOM parser.  Each line is
// validated whole, so a truncated or corrupt line never contributes half its data.
// Only the adapters include this header.

#include "agents/transcript_io.hpp"

#include <simdjson.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace kolvex::agents {

using JsonElement = simdjson::dom::element;

static_assert(TRANSCRIPT_PADDING >= simdjson::SIMDJSON_PADDING,
              "transcript buffers must satisfy simdjson");

// Parses lines in place inside the buffer they were read into (no copy).  The
// element a parse returns is valid until the next parse on the same parser.
class LineParser {
public:
  // `line` must be followed in memory by `readable` - line.size() readable bytes.
  // Returns the root element, or nullopt when the line is not a valid JSON document.
  [[nodiscard]] std::optional<JsonElement> parse(std::string_view line, std::size_t readable)
  {
    JsonElement root;
    // A line too close to the end of its buffer is parsed from a padded copy.
    const bool padded = line.size() + simdjson::SIMDJSON_PADDING <= readable;
    if (m_parser.parse(line.data(), line.size(), !padded).get(root) != simdjson::SUCCESS) {
      return std::nullopt;
    }
    return root;
  }
  // A line of `buffer`.
  [[nodiscard]] std::optional<JsonElement> parse(const TranscriptBuffer& buffer,
                                                 std::string_view line)
  {
    return parse(line, buffer.readable_from(line.data()));
  }
  // A line just returned by `reader`.
  [[nodiscard]] std::optional<JsonElement> parse(const LineReader& reader, std::string_view line)
  {
    return parse(line, reader.readable_from(line.data()));
  }

private:
  simdjson::dom::parser m_parser;
};

// The member `key` of `e` when `e` is an object holding it, else nullopt.
[[nodiscard]] inline std::optional<JsonElement> member(JsonElement e, std::string_view key)
{
  simdjson::dom::object object;
  if (e.get_object().get(object) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  JsonElement value;
  if (object.at_key(key).get(value) != simdjson::SUCCESS) {
    return std::nullopt;
  }
  return value;
}

// The text of member `key`, or "" when absent or not a string.
[[nodiscard]] inline std::string_view text_member(JsonElement e, std::string_view key)
{
  auto value = member(e, key);
  std::string_view text;
  if (!value || value->get_string().get(text) != simdjson::SUCCESS) {
    return {};
  }
  return text;
}

// The text of `e` itself, or "" when it is not a string.
[[nodiscard]] inline std::string_view text_of(JsonElement e)
{
  std::string_view text;
  if (e.get_string().get(text) != simdjson::SUCCESS) {
    return {};
  }
  return text;
}

// Member `key` as a token count: a non-negative integer, else 0 (absent, null,
// negative, fractional or not a number).
[[nodiscard]] inline std::int64_t count_member(JsonElement e, std::string_view key)
{
  auto value = member(e, key);
  std::int64_t n = 0;
  if (!value || value->get_int64().get(n) != simdjson::SUCCESS || n < 0) {
    return 0;
  }
  return n;
}

// The elements of `e` for a range-for: those of the array, or none when `e` is not
// an array.  (A default simdjson array cannot be iterated, hence this wrapper.)
class Items {
public:
  explicit Items(JsonElement e) { m_is_array = e.get_array().get(m_array) == simdjson::SUCCESS; }
  [[nodiscard]] simdjson::dom::array::iterator begin() const
  {
    return m_is_array ? m_array.begin() : simdjson::dom::array::iterator{};
  }
  [[nodiscard]] simdjson::dom::array::iterator end() const
  {
    return m_is_array ? m_array.end() : simdjson::dom::array::iterator{};
  }
  [[nodiscard]] std::size_t size() const { return m_is_array ? m_array.size() : 0; }

private:
  simdjson::dom::array m_array;
  bool m_is_array = false;
};

// Iterates the elements of `e` (none unless it is an array).
[[nodiscard]] inline Items array_of(JsonElement e)
{
  return Items(e);
}

// True when member `key` holds an integer (so a count is known, even if 0).
[[nodiscard]] inline bool has_count(JsonElement e, std::string_view key)
{
  auto value = member(e, key);
  return value && (value->is_int64() || value->is_uint64());
}

} // namespace kolvex::agents
