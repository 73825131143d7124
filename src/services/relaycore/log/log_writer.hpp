#pragma once

// The writers of the attestation log.  A line enters log.jsonl only through
// `_append_log_entry` and is rewritten in place only through `_replace_log_entry`
// (and the uploader's synced marking); all of them hold the log lock, keyed on the
// log file's own path, so that no append can fall between a rewriter's read and
// its rename.

#include "core/value.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace kolvex::services::relaycore::log {

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
};

// Files attestation `parsed`: writes it as `<commit>.yaml` in `attestations_dir`,
// archives the change's ledger segment when asked, then writes the log line to
// `kolvexlog_path`.  Errors from the archive or the log write propagate
// (std::system_error); a commit text that is not a plain file name is refused
// before anything is written.
void _log_attestation(const std::filesystem::path& kolvexlog_path,
                      const std::filesystem::path& attestations_dir,
                      const core::Map& parsed,
                      const LogAttestationOptions& options = {});

// Appends `entry` as one JSON line to the log at `kolvexlog_path` (created with
// its directories when missing), in a single write under the log lock.  Errors
// propagate.
void _append_log_entry(const std::filesystem::path& kolvexlog_path, const core::Map& entry);

// Rewrites the first line whose "commit" equals `entry`'s "commit" with `entry`,
// keeping every other line (unparsable ones included) byte for byte, through an
// atomic rename under the log lock.  Returns false when the log is missing or has
// no such line (the file is then untouched).  Throws std::invalid_argument when
// `entry` has no "commit"; read and write errors propagate after clean-up.
[[nodiscard]] bool _replace_log_entry(const std::filesystem::path& kolvexlog_path,
                                      const core::Map& entry);

// The log line of `entry` as written: JSON with ", " and ": ", non-ASCII escaped,
// followed by one "\n".
[[nodiscard]] std::string log_line_text(const core::Map& entry);

} // namespace kolvex::services::relaycore::log
