#pragma once

// Records that travel with the repository: each recorded commit's upload record as a
// git note under refs/notes/kolvex, plain JSON that `git notes --ref=kolvex show
// <sha>` prints and a CI job that fetched the notes can check without the cloud.
// Nothing secret goes in: records hold no key, and a value that is a path outside
// the repository is left out.

#include "core/value.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kolvex::services::relaycore::sync {

// The notes ref the records live under.
inline constexpr std::string_view NOTES_REF = "refs/notes/kolvex";

// The largest note read back; a larger one is not a record of ours.
inline constexpr std::size_t MAX_NOTE_BYTES = std::size_t{8} << 20U;

// The record a note of `commit` holds: a JSON object whose "commit" is `commit`, or
// nullopt for anything else (not JSON, not an object, another commit's record, over
// MAX_NOTE_BYTES).  Never throws.
[[nodiscard]] std::optional<core::Map> parse_note(std::string_view text, std::string_view commit);

// The objects of `git cat-file --batch` output `text`, in order ("" for an object
// git reported missing); nullopt when the output is not in that format.
[[nodiscard]] std::optional<std::vector<std::string>> parse_cat_file_batch(std::string_view text);

// The records the notes of `repo_root` hold for `commits` (one `git notes list` and
// one `git cat-file --batch`), by commit.  No notes ref, or git failing, gives none.
[[nodiscard]] std::unordered_map<std::string, core::Map>
read_note_records(const std::filesystem::path& repo_root,
                  const std::unordered_set<std::string>& commits);

// `record` with every text that is a path outside `repo_root` left out and every
// path inside it made relative: what may go into a note.
[[nodiscard]] core::Map without_outside_paths(const core::Map& record,
                                              const std::filesystem::path& repo_root);

// What writing notes did.
struct NotesResult {
  std::size_t written = 0;      // notes added or replaced
  std::size_t unchanged = 0;    // notes that already held the same record
  std::size_t not_recorded = 0; // commits the log holds no record of
  std::size_t failed = 0;       // records git would not store (or corrupt archives)
};

// Writes the upload record of each of `commits` that the log of `repo_root` holds as
// its note under NOTES_REF, leaving a note that holds the same record alone.  git
// runs as a child (argv only).  Errors reading the log propagate.
NotesResult write_notes(const std::filesystem::path& repo_root,
                        const std::vector<std::string>& commits);

} // namespace kolvex::services::relaycore::sync
