#pragma once

// Records that travel with the repository: each recorded commit's upload record as a
// git note under refs/notes/kolvex, plain JSON that `git notes --ref=kolvex show
// <sha>` prints and a CI job that fetched the notes can check without the cloud.
// Nothing secret goes in: records hold no key, and a value that is a path outside
// the repository is left out.

#include "core/value.hpp"
#include "repository_handle.hpp"

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

// Where `git fetch` puts a remote's notes (refs/notes/remotes/<remote>/kolvex): a
// ref of its own, forced, so that a fetch never fails however the notes diverged.
inline constexpr std::string_view REMOTE_NOTES_PREFIX = "refs/notes/remotes/";

// The member a signed note line ends with: {"format": "ssh"|"openpgp", "signature": ...}.
inline constexpr std::string_view SIGNATURE_MEMBER = "kolvex_signature";

// A detached signature a note line carries.
struct NoteSignature {
  std::string format;    // "ssh" or "openpgp"
  std::string signature; // the armored signature
};

// One record line of a note.  A note holds one line per version of the record: two
// clones' notes of a commit merged with git's cat_sort_uniq keep both.
struct NoteVersion {
  core::Map record;
  std::string record_text; // the record's exact JSON text
  // The bytes a signature covers: the commit annotated and the record's exact text,
  // so that a signed line copied onto another commit does not verify there.
  std::string signed_payload;
  std::optional<NoteSignature> signature;
};

// The bytes a signature over `record_text` as the record of `commit` covers.
[[nodiscard]] std::string signed_payload(std::string_view commit, std::string_view record_text);

// The note line for `record_text` (a JSON object on one line), with `signature`
// appended as SIGNATURE_MEMBER when there is one.
[[nodiscard]] std::string note_line(std::string_view record_text,
                                    const std::optional<NoteSignature>& signature);

// Every record line of a note of `commit`, in order: each a JSON object whose
// "commit" is `commit` (a signed line's record is the text before its signature
// member).  Lines that are anything else are no record.  Never throws.
[[nodiscard]] std::vector<NoteVersion> parse_note_versions(std::string_view text,
                                                           std::string_view commit);

// The index of the version to believe when no signature is checked: an attested
// record before one without an attestation, then the latest "timestamp", then the
// last line.  `versions` must not be empty.
[[nodiscard]] std::size_t best_version(const std::vector<NoteVersion>& versions);

// The record a note of `commit` holds (its best version), or nullopt when it holds
// none (not JSON, not an object, another commit's record, over MAX_NOTE_BYTES).
// Never throws.
[[nodiscard]] std::optional<core::Map> parse_note(std::string_view text, std::string_view commit);

// The objects of `git cat-file --batch` output `text`, in order ("" for an object
// git reported missing); nullopt when the output is not in that format.
[[nodiscard]] std::optional<std::vector<std::string>> parse_cat_file_batch(std::string_view text);

// Every record version the notes of `repo_root` hold for `commits`, by commit: the
// local notes and every remote's fetched notes, not yet merged (one `git notes list`
// a ref and one `git cat-file --batch`).  No notes, or git failing, gives none.
[[nodiscard]] std::unordered_map<std::string, std::vector<NoteVersion>>
read_note_versions(const std::filesystem::path& repo_root,
                   const std::unordered_set<std::string>& commits);

// The best version of each record read_note_versions finds, by commit.
[[nodiscard]] std::unordered_map<std::string, core::Map>
read_note_records(const std::filesystem::path& repo_root,
                  const std::unordered_set<std::string>& commits);

// What merging the fetched notes did.
struct MergeResult {
  std::size_t merged = 0; // remotes' notes merged into (or fast-forwarded) NOTES_REF
  std::size_t failed = 0; // remotes' notes git would not merge
};

// Merges each remote's fetched notes (REMOTE_NOTES_PREFIX) into NOTES_REF, keeping
// every line of both sides (git's cat_sort_uniq), so that the next push of NOTES_REF
// is a fast-forward and no teammate's note is lost.  Never throws.
MergeResult merge_fetched_notes(const std::filesystem::path& repo_root);

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
  std::size_t not_signed = 0;   // written unsigned although a signing key is set
};

// Writes the upload record of each of `commits` that the log of `repo_root` holds as
// its note under NOTES_REF, signed with git's signing key when one is set, leaving a
// note that holds the same record alone.  The fetched notes are merged in first.
// git runs as a child (argv only).  Errors reading the log propagate.
// The archives are read from one opening of their directory.
NotesResult write_notes(const paths::RepositoryHandle& repo,
                        const std::vector<std::string>& commits);
NotesResult write_notes(const std::filesystem::path& repo_root,
                        const std::vector<std::string>& commits);

// Pushes NOTES_REF to `remote` as a fast-forward: fetches the remote's notes, merges
// them (merge_fetched_notes), pushes, and on a race with a teammate's push tries again
// (a few times).  The pre-push hook runs it, so a `git push` of the branch carries the
// notes and never fails because of them.  Returns whether the remote holds our notes.
// Never throws.
bool push_notes(const std::filesystem::path& repo_root, const std::string& remote);

// Whether the local configuration of `repo_root` turns notes on ("notes": true, set
// by `kolvex setup --notes`).  Never throws.
[[nodiscard]] bool notes_enabled(const std::filesystem::path& repo_root);

// write_notes for `commits` when notes are on; every path that writes or replaces a
// record calls it, so that no note is left saying less than the log.  Never throws.
void write_notes_if_enabled(const std::filesystem::path& repo_root,
                            const std::vector<std::string>& commits);

} // namespace kolvex::services::relaycore::sync
