#pragma once

#include "core/value.hpp"

#include <string>

namespace kolvex::core::yaml {

// `root` as the one document of a stream, with the bytes PyYAML's own emitter
// writes for yaml.dump(root, default_flow_style=False, sort_keys=False).  Throws
// YamlError for a value PyYAML could not hold (a BigInt that is not digits, a
// date whose text would not read back as a date).
[[nodiscard]] std::string emit_document(const Value& root);

} // namespace kolvex::core::yaml
