#pragma once

// Does the log hold a line for a commit?  Every capture asks before it writes, once
// without the lock and once more under it, so the search must cost little on a log
// of 100,000 lines: it reads the end of the log first (a commit recorded moments ago
// by another trigger is there), and asked again about the same file it reads only
// what was appended since.

#include "core/fs.hpp"

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::services::relaycore::log {

// Is `line` (one line of the log, untrimmed) a JSON object whose "commit" is the
// text `commit`?  Exactly as a full parse of the stripped line would answer; bytes
// that are not UTF-8 read as U+FFFD.
[[nodiscard]] bool line_names_commit(std::string_view line, std::string_view commit);

// The "commit" text of `line` (one line of the log, untrimmed) when it is a JSON
// object with one; nullopt otherwise.  The same reading as line_names_commit.
[[nodiscard]] std::optional<std::string> line_commit(std::string_view line);

// Does a line of `lines` (whole lines) name `commit`?  Only the lines around the
// places where the commit's bytes, or an escape spelling one of them, occur are
// judged (for a commit of ASCII letters and digits; any other is judged line by
// line).
[[nodiscard]] bool lines_name_commit(std::string_view lines, std::string_view commit);

// One commit's search of one log, resumable: a later run() over the same file (same
// device and inode, not shorter) reads only what follows the whole lines already
// read.  A last line that lacks its "\n" names the commit when it is a whole JSON
// object naming it; a piece still being appended names nothing and is read again
// by the next run.
class CommitSearch {
public:
  // Searches for the commit text `commit`.
  explicit CommitSearch(std::string commit) : m_commit(std::move(commit)) {}

  // Whether a line of the log `log` names the commit (false when there is
  // no log); nullopt when the log cannot be read (a link or special file, not
  // permitted, an I/O error).  Throws core::deadline::DeadlineExceeded when time is
  // up.
  [[nodiscard]] std::optional<bool> run(const core::fs::Confined& log);

  // The commit searched for.
  [[nodiscard]] const std::string& commit() const { return m_commit; }

  // The searches of all of `commits` at once, in their order, each as if run() had
  // just read the log `log` (so a later run() reads only what is appended
  // since): one pass over the log for a whole walk of commits.  nullopt when the
  // log cannot be read, as for run(); an empty list for no commits.
  [[nodiscard]] static std::optional<std::vector<CommitSearch>>
  run_all(const core::fs::Confined& log, const std::vector<std::string>& commits);

  // What the last run found (false before any run).
  [[nodiscard]] bool found() const { return m_found; }

private:
  std::string m_commit;
  bool m_seen = false; // a run read a file; the fields below describe it
  dev_t m_dev = 0;
  ino_t m_ino = 0;
  std::uint64_t m_whole = 0; // where the whole lines already searched end
  bool m_found = false;
};

} // namespace kolvex::services::relaycore::log
