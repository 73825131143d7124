#pragma once

#include "core/value.hpp"

#include <stdexcept>
#include <string>
#include <string_view>

namespace kolvex::core::json {

// Bad JSON: what() is a human-readable description with line and column, worded
// as Python's json module words it ("Expecting value: line 1 column 5 (char 4)").
// Lines and columns count characters, not bytes, as Python does.
class JsonError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The deepest nesting of lists and maps that `parse` accepts and the writers write;
// one more level is a JsonError rather than a blown stack.
inline constexpr int k_max_depth = 1000;

// Parses `text` (UTF-8) as Python's json.loads does for our files: objects keep key
// order (a repeated key keeps its first position and takes the last value); NaN,
// Infinity and -Infinity are accepted; integers beyond 64 bits become BigInt; numbers
// too large for a double become +-inf as in Python. A lone surrogate escape
// ("\ud800") becomes U+FFFD so that every string in a Value stays valid UTF-8.
// Throws JsonError on bad input: trailing garbage, invalid UTF-8, a byte-order mark,
// nesting deeper than k_max_depth.
[[nodiscard]] Value parse(std::string_view text);

// Byte-identical to Python's json.dumps(value, default=str): separators ", " and
// ": ", non-ASCII (and DEL) as \uXXXX (surrogate pairs above U+FFFF), floats as
// Python's repr with NaN/Infinity/-Infinity, dates and date-times as str() renders
// them. Ill-formed UTF-8 in a string is written as \ufffd, one per bad sequence.
// Throws JsonError for nesting deeper than k_max_depth.
[[nodiscard]] std::string dump(const Value& value);

// Byte-identical to json.dumps(value, indent=`indent`, default=str): one item per
// line, "," at line ends and ": " after keys, `[]`/`{}` for empty containers. An
// `indent` below 0 behaves as 0, as in Python.
[[nodiscard]] std::string dump_indented(const Value& value, int indent);

namespace detail {

// The hand-written parser alone, without the simdjson fast path. `parse` falls back
// to it for whatever simdjson refuses (and for the error description); the fuzz
// target checks that both paths agree on `text`.
[[nodiscard]] Value parse_fallback(std::string_view text);

} // namespace detail

} // namespace kolvex::core::json
