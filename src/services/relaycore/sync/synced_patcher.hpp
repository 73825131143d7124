#pragma once

// Marking records synced without rewriting the log.  A record is appended with
// `"synced": false`; once the server has stored it, the five bytes `false` become
// ` true` (`"synced":  true`, still one JSON object of the same length), written
// with one pwrite(2) at the line's place under the log lock.  So a first sync
// writes five bytes per record instead of the whole log per batch, and:
//   - a kill at any moment leaves each line either unmarked or marked (a signal
//     never splits a system call), so nothing is lost and nothing is marked early;
//   - a reader without the lock sees the old line or the new one: the bytes sit
//     inside one line that keeps its length, so no line moves or tears;
//   - appenders are untouched: the patch never writes past the log's end.
// Lines that cannot be marked that way (a legacy "uploaded" member, a "synced"
// written differently) go through SyncedMarker's full rewrite, which stays the
// exception.

#include "core/fs.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace kolvex::services::relaycore::sync {

// What one marking did, for benchmarks and tests.
struct PatchStats {
  std::size_t patched = 0;    // lines marked in place
  std::size_t rewritten = 0;  // commits left to the full rewrite
  std::size_t bytes_read = 0; // bytes of the log read to find the lines
};

class SyncedPatcher {
public:
  explicit SyncedPatcher(std::filesystem::path log_path);
  // The log at a location already confined (one a repository handle gave, which
  // starts at the directory it holds open).
  explicit SyncedPatcher(core::fs::Confined log);

  // Under the log lock: marks every unsent line whose "commit" text is in `commits`
  // synced, in place where it can and by a full rewrite otherwise.  The log is read
  // once per run and then only where others appended; a line that changed since
  // (another writer replaced the log or the line) is found again by a fresh read.
  // Does nothing for an empty `commits`.  Read, decode and write errors propagate;
  // lines not yet marked then stay unsent, to be sent again.
  PatchStats mark(const std::set<std::string>& commits);

private:
  // An unsent line of the log: where it is, a digest of its bytes to tell it is
  // still the line that was read, and where its `false` is (npos when only a
  // rewrite can mark it).
  struct Line {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    std::size_t digest = 0;
    std::size_t flag = 0;
  };

  void index_from(int fd, std::uint64_t from, std::uint64_t size, PatchStats& stats);
  void reset_index();

  core::fs::Confined m_log;
  std::filesystem::path m_log_path;
  std::unordered_map<std::string, std::vector<Line>> m_unsent;
  std::uint64_t m_device = 0;
  std::uint64_t m_inode = 0;
  std::uint64_t m_indexed = 0; // bytes of the log indexed, up to a line end
  bool m_indexed_any = false;
};

} // namespace kolvex::services::relaycore::sync
