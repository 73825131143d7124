#pragma once

#include "core/value.hpp"

#include <stdexcept>
#include <string>
#include <string_view>

namespace kolvex::core::json {

// Bad JSON: what() is a human-readable description with line and column
// ("Expecting value: line 1 column 5 (char 4)" style).
class JsonError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Parses `text` as Python's json.loads does for our files: objects keep key order
// (a repeated key keeps its first position and takes the last value), NaN,
// Infinity and -Infinity are accepted, integers beyond 64 bits become BigInt.
// Throws JsonError on bad input (trailing garbage included).
[[nodiscard]] Value parse(std::string_view text);

// Byte-identical to Python's json.dumps(value, default=str): separators ", " and
// ": ", non-ASCII as \uXXXX (surrogate pairs above U+FFFF), floats as Python's
// repr, dates and date-times as str() renders them.
[[nodiscard]] std::string dump(const Value& value);

// Byte-identical to json.dumps(value, indent=`indent`) (separators "," and ": ").
[[nodiscard]] std::string dump_indented(const Value& value, int indent);

} // namespace kolvex::core::json
