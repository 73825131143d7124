#pragma once

#include "core/value.hpp"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::core::yaml {

// Malformed YAML, a tag outside the standard ones, a scalar its tag cannot hold,
// or a document that aliases expand beyond the safety limit.  what() carries the
// problem with its line and column ("YAML error at line 2, column 3: ...").
class YamlError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Safe loading of `text` with the implicit typing of PyYAML's SafeLoader (YAML
// 1.1); an empty stream is null, more than one document throws YamlError.
// Where we differ from SafeLoader, deliberately:
// - mapping keys are text: a key of another type keeps the text it was written
//   with (`1: a` -> {"1": "a"}); a collection as key throws;
// - tags other than !!str, !!int, !!float, !!bool, !!null, !!timestamp, !!seq,
//   !!map (and !!merge on a key) throw, !!binary, !!set, !!omap included;
// - a plain `=` or `<<` outside a merge key is the string itself (SafeLoader
//   cannot construct them at all);
// - nesting beyond 1000 levels, recursive aliases, and aliases or merge keys that
//   copy more than a million nodes or 64 MiB beyond the document throw;
// - integer literals of more than 4300 digits throw, as Python refuses them.
// Duplicate keys: the last value wins, at the first key's place.
[[nodiscard]] Value load(std::string_view text);

// Every document of the multi-document stream `text`, in order; an empty stream
// gives none.  Throws YamlError as load() does.
[[nodiscard]] std::vector<Value> load_all(std::string_view text);

// `value` as yaml.dump(value, default_flow_style=False, sort_keys=False) writes
// it, byte for byte: block style, map order kept, no document start marker, `...`
// after a plain top-level scalar.  Strings that are not valid UTF-8 have their
// stray bytes written as U+FFFD.  Throws YamlError for a BigInt that is not
// decimal digits, or a date or time outside what Python's datetime holds.
[[nodiscard]] std::string dump(const Value& value);

// The Value the plain (unquoted) scalar `text` resolves to under SafeLoader's
// rules, e.g. "yes" -> true, "1_000" -> 1000, "1e3" -> "1e3".  Shares its rules
// with load and dump, so dump quotes exactly the strings that would not read back
// as strings.  Throws YamlError for text of a typed form no value holds
// ("2023-02-30", "0x_").
[[nodiscard]] Value resolve_plain_scalar(std::string_view text);

} // namespace kolvex::core::yaml
