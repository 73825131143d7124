#pragma once

// Which commits a large log names, without reading it.  The already-recorded check
// runs on every commit, and a commit not yet recorded is, by definition, on no
// line: proving that by reading costs the whole log, 400 MB after a million
// records.  The index beside the log (commit_index_path) holds a 64-bit key
// for the commit of every line up to a line end, sorted, with the log's device and
// inode.  A key that is absent proves the commit is on none of those lines; a key
// that is present is only a hint, and the log is read to be sure.  The log stays
// the one source of truth: an index for another file (a rewrite makes a new one)
// or for more bytes than the log holds is ignored and rebuilt from the log.

#include "core/fs.hpp"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace kolvex::services::relaycore::log {

// Below this many bytes a log is read instead: the index would save too little.
inline constexpr std::uint64_t COMMIT_INDEX_MIN_BYTES = std::uint64_t{4} << 20;

// The index of the log `log`, beside it: "log-commits.idx".
[[nodiscard]] core::fs::Confined commit_index_path(const core::fs::Confined& log);

// The key of a commit text in the index (FNV-1a, 64 bits).
[[nodiscard]] std::uint64_t commit_key(std::string_view commit);

class CommitIndex {
public:
  // The index beside `log_file` when it describes the log whose status is `log`;
  // nullopt when it is missing, unreadable, malformed or for another file.
  [[nodiscard]] static std::optional<CommitIndex> open(const core::fs::Confined& log_file,
                                                       const struct stat& log);

  // Reads the log open on `fd` (status `log`) to where its whole lines end, and
  // replaces the index beside `log_file` with its commits.  Best-effort: a failure
  // leaves no index (or the old one), never an error.
  static void rebuild(const core::fs::Confined& log_file, int fd, const struct stat& log);

  // Where the lines the index covers end (a line start of the log).
  [[nodiscard]] std::uint64_t covered() const { return m_covered; }

  // False when no line before covered() names `commit`; true when one may.
  [[nodiscard]] bool may_name(std::string_view commit) const;

private:
  CommitIndex() = default;
  core::fs::Fd m_fd;
  std::uint64_t m_covered = 0;
  std::uint64_t m_count = 0;
};

} // namespace kolvex::services::relaycore::log
