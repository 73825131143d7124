#pragma once

// Records that follow `git cherry-pick`.  A commit the cherry-pick made whose patch
// is the patch of a recorded commit (`git patch-id --stable` of both agree) gets a
// link to that record, "cherry_picked_from", rather than standing as new work with
// no history.  A pick whose patch changed (a resolved conflict, an edit) has no
// such record: it is recorded plainly.

#include "core/value.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace kolvex::services::relaycore::capture {

// How many of the log's most recent commits a cherry-pick's patch is compared with.
inline constexpr std::size_t CHERRY_PICK_CANDIDATES = 500;

// The record `sha` carries as "cherry_picked_from" in `repo_root`: when HEAD is
// `sha` and HEAD's reflog says `git cherry-pick` made it, the record ("commit",
// "event", "attestation") of the most recently logged commit with the same patch id;
// nullopt otherwise.  Never throws for git's or the log's failures.
[[nodiscard]] std::optional<core::Map> cherry_pick_source(const std::filesystem::path& repo_root,
                                                          const std::string& sha);

// The same when HEAD's newest reflog subject is known already: `reflog_subject` is
// that of the entry naming `sha`, nullopt when the newest entry names another.
[[nodiscard]] std::optional<core::Map>
cherry_pick_source(const std::filesystem::path& repo_root,
                   const std::string& sha,
                   const std::optional<std::string>& reflog_subject);

} // namespace kolvex::services::relaycore::capture
