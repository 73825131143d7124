#pragma once

#include "core/value.hpp"

#include <string_view>

namespace kolvex::core::yaml {

// The standard tags a scalar can carry once resolved.  `merge` (`<<`) and `value`
// (`=`) have no Value of their own; they matter for merge keys and for quoting.
enum class ScalarTag { null, boolean, integer, floating, timestamp, merge, value, string };

// The tag SafeLoader's implicit resolvers give the plain scalar `text`: pattern
// matching only, so `2024-02-30` is a timestamp here even though no date holds it.
[[nodiscard]] ScalarTag resolve_plain_tag(std::string_view text);

// The Value of scalar `text` under `tag`, built as SafeConstructor builds it
// (`0x1F` -> 31, `3:20` -> 200, `1_000.5` -> 1000.5, integers past 64 bits ->
// BigInt).  `merge` and `value` yield the text itself.  Throws YamlError, with no
// position, for text the tag cannot hold (`!!int abc`, `2023-02-29`, `0b_`).
[[nodiscard]] Value construct_scalar(ScalarTag tag, std::string_view text);

} // namespace kolvex::core::yaml
