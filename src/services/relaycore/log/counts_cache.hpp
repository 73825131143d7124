#pragma once

// The counts of a large log, kept beside it so that `kolvex status` and each session
// start read only the lines appended since, not a million lines each time.  A cache
// is used only for the same file (device and inode), no longer than the log, with
// the same bytes just before where it stops, and taken at the current marks
// generation: marking lines synced in place changes counts without changing the
// log's size, so the marker bumps the generation after each marking and every
// cache read before it is stale.  The log stays the one source of truth: anything
// that does not match is read again from the log.

#include "core/fs.hpp"
#include "services/relaycore/log/attestation_log.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>

namespace kolvex::services::relaycore::log {

struct CachedCounts {
  std::uint64_t covered = 0;    // the whole lines counted end here
  std::uint64_t generation = 0; // the marks generation read before the lines were
  AttestationLogCounts counts{};
};

// Beside the log at `log_path`: the cache ("log-counts") and the marks generation
// ("log-marks").
[[nodiscard]] core::fs::Confined counts_cache_path(const core::fs::Confined& log_path);
[[nodiscard]] core::fs::Confined marks_path(const core::fs::Confined& log_path);

// The marks generation of the log at `log_path` (0 when none was recorded).
[[nodiscard]] std::uint64_t marks_generation(const core::fs::Confined& log_path);

// Called by a marker under the log lock, after its marks are written.  Errors
// propagate: a marking that cannot say so must not look finished.
void bump_marks_generation(const core::fs::Confined& log_path);

// The cache beside `log_path` when it matches the log open on `fd` with status `log`
// and the generation `generation`; nullopt otherwise.
[[nodiscard]] std::optional<CachedCounts> load_counts(const core::fs::Confined& log_path,
                                                      int fd,
                                                      const struct stat& log,
                                                      std::uint64_t generation);

// Replaces the cache beside `log_path` with `counts` of the log open on `fd`.
// Best-effort.
void save_counts(const core::fs::Confined& log_path,
                 int fd,
                 const struct stat& log,
                 const CachedCounts& counts);

} // namespace kolvex::services::relaycore::log
