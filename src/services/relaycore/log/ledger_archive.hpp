#pragma once

// Ledger-segment archival: when a change is committed with an attestation, its live
// ledger moves next to the archived attestation so that the uploader can send both
// together.  Best-effort throughout: nothing here can stop a record being filed.

#include "core/fs.hpp"
#include "core/value.hpp"

#include <filesystem>
#include <string_view>

namespace kolvex::services::relaycore::log {

// Seals and moves the live ledger of the change `parsed` names (its "process" slug,
// else its first change-spec slug) to the archived-ledger path of `commit`, then
// removes the ledger's lock file and the slug's pointer.  Only safe slugs are ever
// used as file names.  Never throws; failures are logged at debug level.
void _archive_ledger_segment(const std::filesystem::path& repo_root,
                             const core::fs::Confined& attestations,
                             const core::Map& parsed,
                             std::string_view commit) noexcept;

} // namespace kolvex::services::relaycore::log
