#pragma once

// The vocabulary of attestations and what makes a good one: the checks `kolvex
// attest` runs before it writes the pending file.

#include "core/value.hpp"

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kolvex::services::shared {

// ---- Vocabulary of attestations ------------------------------------------------

// Architecture-change primitives: the top-level keys "--arch-changes" may use, in
// the order they are written under "changes".
inline constexpr std::array<std::string_view, 5> V2_PRIMITIVES{
    "architecture", "data_model", "api", "dependencies", "configuration"};

// Where a request came from (provenance.type).
inline constexpr std::array<std::string_view, 4> VALID_PROVENANCE_TYPES{
    "spec", "ticket", "bug-fix", "ad-hoc"};

// What kind of change a commit is (task_type).
inline constexpr std::array<std::string_view, 6> VALID_TASK_TYPES{
    "feature", "bug-fix", "refactor", "docs", "test", "chore"};

// The values an architecture element's "change" may take.
inline constexpr std::array<std::string_view, 3> ELEMENT_CHANGE_KINDS{
    "added", "modified", "removed"};

// ---- Attestation fields ---------------------------------------------------------

// Checks an assembled attestation `attestation` (a map; anything else is one error)
// and returns (errors, warnings), each in field order and each message naming the
// field first.  Errors stop `attest`; warnings are advice.  Never throws on odd
// shapes: every shape becomes a message.
[[nodiscard]] std::pair<std::vector<std::string>, std::vector<std::string>>
validate_attestation_fields(const core::Value& attestation);

} // namespace kolvex::services::shared
