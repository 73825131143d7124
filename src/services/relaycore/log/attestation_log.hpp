#pragma once

// The attestation log, log.jsonl: one JSON object per line, one line per recorded
// commit.  This module is the single definition of how a line counts: pending
// (still to be sent), already sent, unaddressable, corrupt; the uploader, the
// session summary and `kolvex status` all take their numbers from it.

#include "core/fs.hpp"
#include "core/value.hpp"
#include "services/relaycore/log/log_line.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kolvex::services::relaycore::log {

// The counts of a read of the log, without the lines themselves: `pending` is the
// number of unsent addressable lines; the rest as in AttestationLog.
struct AttestationLogCounts {
  std::int64_t pending = 0;
  std::int64_t uploaded = 0;
  std::int64_t skipped = 0;
  std::int64_t unaddressable = 0;
  std::int64_t corrupt = 0;
  std::int64_t attested = 0;
  std::int64_t unattested = 0;
  std::int64_t replaced = 0;
  bool operator==(const AttestationLogCounts&) const = default;
};

// The log's state as read: `pending` holds the unsent addressable lines in file
// order, parsed and unchanged.  `skipped`/`unattested`/`attested` split all object
// lines by event; `uploaded`/`unaddressable`/`replaced`/pending split them by
// delivery state (`replaced`: unsent lines of commits a rewrite replaced, whose
// records travel inside the replacing commit's); `corrupt` lines (non-blank, not a
// JSON object) are in neither split.
struct AttestationLog {
  std::vector<core::Map> pending;
  std::int64_t uploaded = 0;
  std::int64_t skipped = 0;
  std::int64_t unaddressable = 0;
  std::int64_t corrupt = 0;
  std::int64_t attested = 0;
  std::int64_t unattested = 0;
  std::int64_t replaced = 0;

  // The number of lines still to be sent.
  [[nodiscard]] std::size_t size() const { return pending.size(); }
  // The same numbers as count_attestation_log gives.
  [[nodiscard]] AttestationLogCounts counts() const;
};

// Reads and classifies the log `log_path` without a lock and without changing
// it.  A missing or unreadable file is an empty log; a file that is not valid UTF-8
// throws core::fs::DecodeError.  A last line without its "\n" counts when it is a
// whole JSON object; any other last piece is a line still being appended, left out
// (not corrupt) until it is whole.
[[nodiscard]] AttestationLog read_attestation_log(const core::fs::Confined& log_path);

// Reads and classifies the log `log_path` as read_attestation_log does, handing
// each pending line to `on_pending` as it is read instead of keeping them: a log of
// any size costs one block of memory.  Returns the counts (`pending` counting the
// lines handed over).  An exception from `on_pending` propagates, the read stopped
// there.  A file that cannot be read gives no lines and zero counts.
AttestationLogCounts for_each_pending_record(const core::fs::Confined& log_path,
                                             const std::function<void(core::Map)>& on_pending);

// A log this large keeps its counts beside it (see counts_cache): a later count
// reads only the lines appended since.
inline constexpr std::uint64_t COUNTS_CACHE_MIN_BYTES = std::uint64_t{4} << 20;

// The counts of read_attestation_log(`log_path`), without building a map for any
// line: what `kolvex status` and the session summary show.  Same errors.
[[nodiscard]] AttestationLogCounts count_attestation_log(const core::fs::Confined& log_path);

// The same classification over log text already in memory, every line of it (a
// last one without its end included); `text` must be valid UTF-8.  Lines end at
// every boundary Python's str.splitlines() knows.
[[nodiscard]] AttestationLog read_attestation_log_text(std::string_view text);

// Calls `on_line` with each whole non-blank line of the log `log_path`, trimmed,
// in file order, reading it once in blocks (a last piece without its line end is
// given only when it is a whole JSON object: otherwise it is still being appended).  Returns false
// when the file cannot be read (missing, a link, a directory); a file that is not UTF-8 throws
// core::fs::DecodeError.
bool for_each_log_line(const core::fs::Confined& log_path,
                       const std::function<void(std::string_view)>& on_line);

// The log lines of `commits`, by commit, read in one pass over the log: a line is
// parsed only when its "commit" may be one of them.  A commit's first line is its
// record.  Commits the log does not name are absent; an unreadable log names none.
[[nodiscard]] std::unordered_map<std::string, core::Map>
read_log_records(const core::fs::Confined& log_path,
                 const std::unordered_set<std::string>& commits);

} // namespace kolvex::services::relaycore::log
