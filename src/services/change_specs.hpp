#pragma once

// The change specs an attestation's provenance names, as ledger slugs.

#include "core/value.hpp"

#include <string>
#include <vector>

namespace kolvex::services::shared {

// The change-spec slugs of attestation `parsed`, first one first: when
// provenance.type is "spec", the last path component of provenance.ref (a text or a
// list of texts) without a ".md" or ".yaml" suffix, for every ref whose slug is
// safe.  Empty for any other attestation.
[[nodiscard]] std::vector<std::string> extract_change_spec_slugs(const core::Map& parsed);

} // namespace kolvex::services::shared
