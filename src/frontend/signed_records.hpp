#pragma once

// What `kolvex log --check signed` believes: for each commit, the record of a note line
// whose signature checks out against git's trust set-up, or why there is none.

#include "core/value.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace kolvex::commands {

struct SignedRecord {
  std::optional<core::Map> record; // the best signed version; nullopt when none checks out
  std::string problem;             // why none does: unsigned, untrusted key, altered, no note
};

// The signed record of each of `commits` in the notes of `repo_root` (the local notes and
// the fetched ones).  Throws services::relaycore::sync::SigningUnavailable when a
// signature cannot be checked here at all.
[[nodiscard]] std::unordered_map<std::string, SignedRecord>
signed_records(const std::filesystem::path& repo_root,
               const std::unordered_set<std::string>& commits);

} // namespace kolvex::commands
