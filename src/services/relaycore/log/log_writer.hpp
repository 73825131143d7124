#pragma once

// The writers of the attestation log.  A line enters log.jsonl only through
// `_append_log_entry` and is rewritten in place only through `_replace_log_entry`
// (and the uploader's synced marking); all of them hold the log lock, keyed on the
// log file's own path, so that no append can fall between a rewriter's read and
// its rename.
//
// A record is an archive file and a line, written in that order.  The log lock is
// taken last and held only around the write: git is asked, and the archive's text
// and the line are built, before it.  Under the lock a note holding the line is put
// beside the archive first and removed once the line is in, so that a record cut
// short between the two (a kill, a full disk, a read-only log) is found and
// completed by `_complete_record`.

#include "core/fs.hpp"
#include "core/value.hpp"
#include "repository_handle.hpp"
#include "services/relaycore/log/commit_search.hpp"
#include "utils/filelock.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kolvex::services::relaycore::log {

// Where the records of the repository `repo` holds open are written: its log and
// its archives directory, both starting at the handle's `.platform`.
struct RecordFiles {
  core::fs::Confined log;
  core::fs::Confined attestations;
};
[[nodiscard]] RecordFiles record_files(const paths::RepositoryHandle& repo);

// The defaulted parameters of `_log_attestation`, by their names:
// `_log_attestation(log, dir, parsed, {.commit_override = sha, .repo_root = root})`.
struct LogAttestationOptions {
  // The commit to file under; when absent or empty, HEAD of `repo_root`.
  std::optional<std::string> commit_override{};
  // Where git is asked (the process's working directory when absent); also
  // enables the ledger-segment archival.
  std::optional<std::filesystem::path> repo_root{};
  // Move the change's live ledger next to the record (false for backfills).
  bool archive_ledger = true;
  // The "event" of a record without an attestation; absent or empty adds none.
  std::optional<std::string> event{};
  // Rewrite the commit's existing line in place instead of appending a second one.
  bool replace_existing = false;
  // When given: under the lock, write nothing if the log already names the commit,
  // as this search (of that commit) finds; it reads only what it has not read yet.
  CommitSearch* skip_if_logged = nullptr;
  // HEAD's branch (`git rev-parse --abbrev-ref HEAD`) when the caller has just
  // asked git for it; asked here otherwise.
  std::optional<std::string> head_branch{};
};

// What `_file_record` does when the log already names the record's commit.
enum class IfLogged { append, replace, skip };

// A record ready to be filed: the commit, the archive's YAML text, the log line and
// what the ledger archival needs, all worked out before the log lock is taken.
struct PreparedRecord {
  std::string commit;
  core::Map parsed;
  std::string archive_text;
  core::Map entry;
  std::optional<std::filesystem::path> repo_root;
  bool archive_ledger = true;
};

// Files attestation `parsed`: writes it as `<commit>.yaml` in `attestations`,
// archives the change's ledger segment when asked, then writes the log line to
// `log`.  Both are confined locations: a repository handle's (paths::RepositoryHandle::at)
// or, for a caller without one, paths::confined.  Returns false when `skip_if_logged` found the
// commit logged and nothing was written.  Errors from the archive or the log write propagate
// (std::system_error); a commit text that is not a plain file name is refused
// before anything is written.
bool _log_attestation(const core::fs::Confined& log,
                      const core::fs::Confined& attestations,
                      const core::Map& parsed,
                      const LogAttestationOptions& options = {});

// The record of `parsed` as `_log_attestation` would file it: asks git for the
// commit (unless given) and the branch; writes nothing.  Throws std::system_error
// for a commit text that is not a plain file name.
[[nodiscard]] PreparedRecord _prepare_record(const core::fs::Confined& attestations,
                                             const core::Map& parsed,
                                             const LogAttestationOptions& options = {});

// Files `record`: the note, the archive, the ledger segment, the line, the note's
// removal.  The caller holds the log lock.  With IfLogged::skip or ::replace,
// `search` (a search for the record's commit; one is made when null) decides
// whether the log names the commit.  Returns false when skipped.  Errors propagate.
bool _file_record(const core::fs::Confined& log,
                  const core::fs::Confined& attestations,
                  const PreparedRecord& record,
                  IfLogged if_logged,
                  CommitSearch* search = nullptr);

// Completes the record of `commit` when its archive exists but the log does not
// name it: appends (or puts in place) the line its writer noted beside the archive,
// or, for an archive without a note, a line built from the archive itself with
// `branch` and, for a record of an unattested commit, the event
// "commit_unattested".  A note without its archive is dropped.  The caller holds
// the log lock; `search` is a search for `commit`.  Returns true when the log names
// the commit afterwards.
bool _complete_record(const core::fs::Confined& log,
                      const core::fs::Confined& attestations,
                      const std::string& commit,
                      const std::string& branch,
                      CommitSearch& search);

// The commits whose notes lie in `attestations`: records that may have been cut
// short before their line.  Empty when there are none (the usual case: one look at
// a missing directory).
[[nodiscard]] std::vector<std::string> _unlogged_commits(const core::fs::Confined& attestations);

// Appends `entry` as one JSON line to the log `log` (created with
// its directories when missing), in a single write under the log lock.  Errors
// propagate.
void _append_log_entry(const core::fs::Confined& log, const core::Map& entry);

// Rewrites the first line whose "commit" equals `entry`'s "commit" with `entry`,
// keeping every other line (unparsable ones included) byte for byte, through an
// atomic rename under the log lock.  Returns false when the log is missing or has
// no such line (the file is then untouched).  Throws std::invalid_argument when
// `entry` has no "commit"; read and write errors propagate after clean-up.
[[nodiscard]] bool _replace_log_entry(const core::fs::Confined& log, const core::Map& entry);

// _replace_log_entry for several entries in one rewrite: each replaces the first
// line naming its commit.  Returns how many were replaced (the file is untouched
// when none was).
std::size_t _replace_log_entries(const core::fs::Confined& log,
                                 const std::vector<core::Map>& entries);

// The log lock on `log`, taken by every writer of the log.  Once it is
// held, the temporary siblings a killed rewrite left (`log.jsonl.<random>.tmp`) are
// removed: whoever made one held this lock, so none is in use.  A writer that went
// ahead without the lock (a timed-out wait) may lose its replacement to this and
// then reports it; nothing is removed when this scope did not get the lock.
class LogLock {
public:
  explicit LogLock(const core::fs::Confined& log);
  [[nodiscard]] bool acquired() const { return m_lock.acquired(); }

private:
  utils::filelock::ScopedLock m_lock;
};

// The log line of `entry` as written: JSON with ", " and ": ", non-ASCII escaped,
// followed by one "\n".
[[nodiscard]] std::string log_line_text(const core::Map& entry);

} // namespace kolvex::services::relaycore::log
