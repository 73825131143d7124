#pragma once

// Texts that kolvex installs or prints for agents to follow.

#include <string>

namespace kolvex::hooks::scripts {

// The example attestation: a commented YAML template of every field `kolvex attest`
// writes, ending with a newline.  Its placeholders are written <LIKE_THIS>; with them
// filled in, the document passes validate_attestation_fields without a message.
[[nodiscard]] std::string example_attestation();

} // namespace kolvex::hooks::scripts
