#pragma once

#include "core/value.hpp"

#include <string>
#include <string_view>

namespace kolvex::core::yaml {

// A scalar as PyYAML's representer and serializer hand it to the emitter: its
// text in code points, whether that text read plain resolves to the scalar's own
// type (else it must be quoted), and whether it is a string.
struct ScalarText {
  std::u32string text;
  bool plain_implicit = false;
  bool is_string = false;
};

// The scalar `value` (anything but a list or map) as yaml.dump represents it:
// `null`, `true`, str(int), repr-style floats (`1.0e+16`, `.inf`), isoformat dates
// and times.  Throws YamlError when that text would not read back as `value`.
[[nodiscard]] ScalarText represent_scalar(const Value& value);

// The string `text` (a value or a mapping key) as a scalar.
[[nodiscard]] ScalarText represent_key(std::string_view text);

// UTF-8 `s` as code points; a byte that starts no valid sequence becomes U+FFFD,
// as Python's "replace" error handler would have made it before dumping.
[[nodiscard]] std::u32string decode_utf8(std::string_view s);

} // namespace kolvex::core::yaml
