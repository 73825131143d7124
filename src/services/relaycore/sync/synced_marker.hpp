#pragma once

// The rewrite behind `_mark_synced`, made cheap to repeat.  A first sync marks a
// 30 MB log once per batch of 100 records, 200 times over; parsing and dumping
// every line each time would cost (batches x log size).  The marker remembers what
// its previous rewrite wrote, so the next one re-parses only the lines it marks and
// the lines appended since, and copies the rest as bytes.  What it writes is byte
// for byte what a full rewrite writes.

#include "core/fs.hpp"
#include "core/value.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace kolvex::services::relaycore::sync {

// What one rewrite did, for benchmarks and tests.
struct MarkStats {
  std::size_t lines_parsed = 0; // lines that went through the JSON parser
  bool reused = false;          // the previous rewrite's text was still the log's start
};

class SyncedMarker {
public:
  // Marks records in the log at `log_path`.
  explicit SyncedMarker(std::filesystem::path log_path);
  // The log at a location already confined (one a repository handle gave, which
  // starts at the directory it holds open).
  explicit SyncedMarker(core::fs::Confined log);

  // Under the log lock: reads the log, sets "synced": true (dropping "uploaded") on
  // every object line whose "commit" text is in `commits`, and replaces the log
  // atomically.  Every other JSON object line is written back re-serialised; lines
  // that are not JSON, or JSON but not an object, are kept byte for byte; the text
  // is stripped of surrounding white space and every line ends in one "\n".  Does
  // nothing, not even lock, for an empty `commits`.  Read, decode and write errors
  // propagate; the log is then untouched.
  MarkStats mark(const std::set<std::string>& commits);

private:
  // An object line with a text "commit", where the last rewrite put it.
  struct Span {
    std::size_t begin = 0;
    std::size_t size = 0;
  };

  // The text written by the last rewrite, and where its commit lines are.
  struct Memo {
    std::string text;
    std::vector<Span> spans;
    std::unordered_map<std::string, std::vector<std::uint32_t>> by_commit;
  };

  static void rewrite_from_memo(std::string_view file,
                                const std::set<std::string>& commits,
                                Memo& memo,
                                std::string& out,
                                MarkStats& stats);
  static void rewrite_lines(std::string_view text,
                            const std::set<std::string>& commits,
                            std::string& out,
                            Memo& next,
                            MarkStats& stats);

  core::fs::Confined m_log;
  std::filesystem::path m_log_path;
  Memo m_memo;
  // Buffers kept between rewrites: what was read, and the last text but one (the
  // next rewrite is built in it).
  std::string m_read;
  std::string m_spare;
};

} // namespace kolvex::services::relaycore::sync
