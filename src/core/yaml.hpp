#pragma once

#include "core/value.hpp"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::core::yaml {

// Malformed YAML, a tag outside the standard ones, or an alias expansion beyond
// the safety limit.  what() carries libyaml's description with line and column.
class YamlError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Safe loading with the implicit typing of PyYAML's SafeLoader (YAML 1.1).  An
// empty stream is null.  Mapping keys that are not strings are kept as the text
// of their scalar (our files only use text keys).
[[nodiscard]] Value load(std::string_view text);

// Every document of a multi-document stream.
[[nodiscard]] std::vector<Value> load_all(std::string_view text);

// Byte-identical to yaml.dump(value, default_flow_style=False, sort_keys=False):
// block style, map order kept, no document markers.
[[nodiscard]] std::string dump(const Value& value);

// The type a plain (unquoted) scalar `text` resolves to under SafeLoader's rules,
// e.g. "yes" -> bool, "1_000" -> int, "1e3" -> str.  Shared by load and dump so
// that dump quotes exactly the strings that would not read back as strings.
[[nodiscard]] Value resolve_plain_scalar(std::string_view text);

} // namespace kolvex::core::yaml
