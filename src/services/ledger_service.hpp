#pragma once

// The live ledger of a change: `.kolvex/.platform/ledgers/<slug>.jsonl`, one JSON
// object per line, each an event ("event", "at", ...) that an agent or the check
// command recorded while working on the change.  Milestones are events named
// "milestone"; the "sealed" milestone marks a ledger whose change was committed.

#include "core/value.hpp"

#include <filesystem>
#include <optional>
#include <string_view>

namespace kolvex::services::ledger_service {

// True when `slug` may become a file name: 1 to 100 characters of lower-case
// letters, digits, '-', '_' and '.', not starting with '.'.
[[nodiscard]] bool is_safe_slug(std::string_view slug);

// True when the live ledger of `slug` holds a "sealed" milestone.  False for a
// missing ledger or an unsafe slug; read errors other than absence propagate.
[[nodiscard]] bool is_sealed(const std::filesystem::path& repo_root, std::string_view slug);

// Appends {"event": "milestone", "milestone": `name`, "evidence": `evidence`,
// "at": <UTC now>} to the live ledger of `slug`, creating it when missing.  Throws
// std::invalid_argument for an unsafe slug; write errors propagate.
void mark_milestone(const std::filesystem::path& repo_root,
                    std::string_view slug,
                    std::string_view name,
                    const core::Value& evidence = core::Value(core::Map{}));

// Removes the pointer file naming the change being worked on when it names `slug`.
// Does nothing for an unsafe slug or another slug; removal errors propagate.
void clear_pointers_for_slug(const std::filesystem::path& repo_root, std::string_view slug);

// The "process" section of an attestation for change `slug`: {"slug", "events"
// (the number of events), "milestones" (their names in order)}, or nullopt when
// the slug is unsafe or has no live ledger.
[[nodiscard]] std::optional<core::Map>
derive_process_section(const std::filesystem::path& repo_root, std::string_view slug);

} // namespace kolvex::services::ledger_service
