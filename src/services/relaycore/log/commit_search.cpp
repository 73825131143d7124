#include "services/relaycore/log/commit_search.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/lines.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "services/relaycore/log/commit_index.hpp"
#include "services/relaycore/log/log_line.hpp"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <unordered_map>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>

namespace kolvex::services::relaycore::log {

namespace {

// How much of the log's end is searched first: about 600 lines of a usual log,
// read in one go.
constexpr std::uint64_t k_tail_window = std::uint64_t{256} << 10;

// The log is read in pieces of this size: a fresh buffer the size of a large log
// would cost more in page faults than the search itself.
constexpr std::size_t k_block_size = std::size_t{256} << 10;

// The piece size for reading `bytes` of the log: no larger than they are, so that a
// small log (every commit hook reads one) is not read into a buffer many times its
// size, each page of which is a fault to fill.
std::size_t block_for(std::uint64_t bytes)
{
  return static_cast<std::size_t>(std::min<std::uint64_t>(bytes, k_block_size));
}

// How much of the log's end a catch-up walk reads first: its recorded commits are
// the newest, about 10,000 lines of a usual log.
constexpr std::uint64_t k_walk_window = std::uint64_t{4} << 20;

bool is_ascii_alnum(std::string_view text)
{
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

// Is `text[pos]` the start of an escape "\u00XY" whose character is in `commit`?
bool escapes_commit_char(std::string_view text, std::size_t pos, std::string_view commit)
{
  if (pos + 6 > text.size() || text[pos + 1] != 'u' || text[pos + 2] != '0' ||
      text[pos + 3] != '0') {
    return false;
  }
  const int high = core::text::hex_digit(text[pos + 4]);
  const int low = core::text::hex_digit(text[pos + 5]);
  return high >= 0 && low >= 0 &&
         commit.find(static_cast<char>(high * 16 + low)) != std::string_view::npos;
}

// Where in `lines` the commit's bytes, or an escape that may spell one of its
// characters, begin; in increasing order.
std::vector<std::size_t> places_of(std::string_view lines, std::string_view commit)
{
  std::vector<std::size_t> places;
  for (std::size_t from = 0; from < lines.size();) {
    const void* hit =
        ::memmem(lines.data() + from, lines.size() - from, commit.data(), commit.size());
    if (hit == nullptr) {
      break;
    }
    places.push_back(static_cast<std::size_t>(static_cast<const char*>(hit) - lines.data()));
    from = places.back() + 1;
  }
  for (std::size_t from = 0; from < lines.size();) {
    const void* hit = std::memchr(lines.data() + from, '\\', lines.size() - from);
    if (hit == nullptr) {
      break;
    }
    const auto pos = static_cast<std::size_t>(static_cast<const char*>(hit) - lines.data());
    if (escapes_commit_char(lines, pos, commit)) {
      places.push_back(pos);
    }
    from = pos + 1;
  }
  std::sort(places.begin(), places.end());
  return places;
}

} // namespace

bool line_names_commit(std::string_view line, std::string_view commit)
{
  const std::string_view stripped = core::text::python_strip(line);
  if (stripped.empty()) {
    return false;
  }
  const LogLineScan scan = scan_log_line(stripped);
  if (scan.shape == LogLineScan::Shape::non_object) {
    return false;
  }
  if (scan.shape == LogLineScan::Shape::object && !scan.escaped_key) {
    if (scan.commit.empty() || scan.commit.front() != '"') {
      return false;
    }
    if (const auto text = plain_json_string(scan.commit)) {
      return *text == commit;
    }
  }
  try {
    const core::Value value = core::json::parse(core::fs::is_valid_utf8(stripped)
                                                    ? std::string(stripped)
                                                    : core::process::decode_replace(stripped));
    const core::Value* found = value.get("commit");
    return found != nullptr && found->is_string() && found->as_string() == commit;
  } catch (const core::json::JsonError&) {
    return false;
  }
}

std::optional<std::string> line_commit(std::string_view line)
{
  const std::string_view stripped = core::text::python_strip(line);
  if (stripped.empty()) {
    return std::nullopt;
  }
  const LogLineScan scan = scan_log_line(stripped);
  if (scan.shape == LogLineScan::Shape::non_object) {
    return std::nullopt;
  }
  if (scan.shape == LogLineScan::Shape::object && !scan.escaped_key) {
    if (scan.commit.empty() || scan.commit.front() != '"') {
      return std::nullopt;
    }
    if (const auto text = plain_json_string(scan.commit)) {
      return std::string(*text);
    }
  }
  try {
    const core::Value value = core::json::parse(core::fs::is_valid_utf8(stripped)
                                                    ? std::string(stripped)
                                                    : core::process::decode_replace(stripped));
    const core::Value* found = value.get("commit");
    if (found != nullptr && found->is_string()) {
      return found->as_string();
    }
  } catch (const core::json::JsonError&) {
  }
  return std::nullopt;
}

// A line can name a commit of ASCII letters and digits only by holding its bytes as
// they are, or by spelling some of them as JSON escapes, which for these characters
// can only be "\u00XY" with XY the character's code.  So only the lines holding one
// of those places are judged, each exactly as a full parse would; a block without
// any costs two memory scans.
bool lines_name_commit(std::string_view lines, std::string_view commit)
{
  bool found = false;
  if (!is_ascii_alnum(commit)) {
    core::lines::for_each_line(lines, [&](std::string_view line) {
      found = line_names_commit(line, commit);
      return !found;
    });
    return found;
  }
  const std::vector<std::size_t> places = places_of(lines, commit);
  if (places.empty()) {
    return false;
  }
  std::size_t next = 0;
  core::lines::for_each_line(lines, [&](std::string_view line) {
    const auto start = static_cast<std::size_t>(line.data() - lines.data());
    const std::size_t end = start + line.size();
    while (next < places.size() && places[next] < start) {
      ++next; // inside a boundary: part of no line
    }
    if (next == places.size()) {
      return false;
    }
    if (places[next] < end && line_names_commit(line, commit)) {
      found = true;
      return false;
    }
    return true;
  });
  return found;
}

std::optional<bool> CommitSearch::run(const core::fs::Confined& log)
{
  core::fs::Fd file;
  struct stat st {};
  try {
    file = core::fs::open_regular(log, O_RDONLY);
  } catch (const core::fs::UnsafePathError&) {
    return std::nullopt; // a link or a special file: refused, and reported there
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::no_such_file_or_directory) {
      m_seen = false;
      return false; // no log names nothing
    }
    return std::nullopt;
  }
  if (::fstat(file.get(), &st) != 0) {
    return std::nullopt;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const int fd = file.get();
  const auto search = [&](core::lines::LineBlockReader& reader) {
    while (const auto block = reader.next()) {
      if (lines_name_commit(*block, m_commit)) {
        return true;
      }
    }
    // The last piece too: a record without its line end names its commit as well
    // (line_names_commit accepts only a whole JSON object, never a torn prefix).
    return lines_name_commit(reader.tail(), m_commit);
  };

  try {
    if (m_seen && st.st_dev == m_dev && st.st_ino == m_ino && size >= m_whole) {
      // Appended to since the last run (a rewrite makes a new file): only the new
      // lines can name it now.
      if (!m_found) {
        core::lines::LineBlockReader added(fd, m_whole, size, false, block_for(size - m_whole));
        m_found = search(added);
        m_whole = added.whole_lines_end();
      }
      return m_found;
    }
    m_seen = false;
    const std::uint64_t window = size > k_tail_window ? size - k_tail_window : 0;
    core::lines::LineBlockReader tail(fd, window, size, true, block_for(size - window));
    const auto first = tail.next();
    // Where the window's whole lines begin (the end of the range, when it holds
    // none); everything before is the head.
    const std::uint64_t head_end = tail.offset();
    bool found = first && lines_name_commit(*first, m_commit);
    if (!found) {
      found = search(tail);
    }
    std::uint64_t whole = tail.whole_lines_end();
    bool reindex = false;
    if (!found && head_end > 0) {
      // A commit not yet recorded is on no line: the index proves that for the
      // lines it covers, so only those after it are read.
      std::uint64_t head_from = 0;
      if (first && head_end >= COMMIT_INDEX_MIN_BYTES) {
        const std::optional<CommitIndex> index = CommitIndex::open(log, st);
        if (index && !index->may_name(m_commit)) {
          head_from = std::min(index->covered(), head_end);
        }
        reindex = !index || size - index->covered() > COMMIT_INDEX_MIN_BYTES;
      }
      if (head_from < head_end) {
        core::lines::LineBlockReader head(fd, head_from, head_end, false, k_block_size);
        found = search(head);
        if (!first) {
          whole = head.whole_lines_end(); // the window held no whole line
        }
      }
    }
    if (reindex) {
      CommitIndex::rebuild(log, fd, st);
    }
    m_seen = true;
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    m_whole = whole;
    m_found = found;
    return found;
  } catch (const std::system_error&) {
    return std::nullopt; // an I/O error: as unreadable as a missing file
  }
}

std::optional<std::vector<CommitSearch>>
CommitSearch::run_all(const core::fs::Confined& log, const std::vector<std::string>& commits)
{
  std::vector<CommitSearch> searches;
  for (const std::string& commit : commits) {
    searches.emplace_back(commit);
  }
  if (searches.empty()) {
    return searches;
  }
  core::fs::Fd file;
  struct stat st {};
  try {
    file = core::fs::open_regular(log, O_RDONLY);
  } catch (const core::fs::UnsafePathError&) {
    return std::nullopt;
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::no_such_file_or_directory) {
      return searches; // no log names nothing
    }
    return std::nullopt;
  }
  if (::fstat(file.get(), &st) != 0) {
    return std::nullopt;
  }
  std::unordered_map<std::string_view, std::vector<std::size_t>> by_commit;
  for (std::size_t i = 0; i < searches.size(); ++i) {
    by_commit[searches[i].m_commit].push_back(i);
  }
  const auto judge = [&](std::string_view line) {
    if (const std::optional<std::string> commit = line_commit(line)) {
      if (const auto hit = by_commit.find(*commit); hit != by_commit.end()) {
        for (const std::size_t i : hit->second) {
          searches[i].m_found = true;
        }
      }
    }
  };
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const auto judge_all = [&](core::lines::LineBlockReader& reader) {
    while (const auto block = reader.next()) {
      core::lines::for_each_line(*block, judge);
    }
  };
  try {
    // The walk's recorded commits are the newest lines: the log's end is read
    // first, and what it leaves open is settled by the index where it can be.
    const std::uint64_t window = size > k_walk_window ? size - k_walk_window : 0;
    core::lines::LineBlockReader tail(file.get(), window, size, window > 0, k_block_size);
    const auto first = tail.next();
    const std::uint64_t head_end = first ? tail.offset() : 0;
    if (first) {
      core::lines::for_each_line(*first, judge);
      judge_all(tail);
    }
    core::lines::for_each_line(tail.tail(), judge);
    std::uint64_t whole = tail.whole_lines_end();
    const bool open_ones = std::any_of(searches.begin(),
                                       searches.end(),
                                       [](const CommitSearch& search) { return !search.m_found; });
    if (!first) {
      core::lines::LineBlockReader all(file.get(), 0, size, false, k_block_size);
      judge_all(all);
      core::lines::for_each_line(all.tail(), judge);
      whole = all.whole_lines_end();
    } else if (open_ones && head_end > 0) {
      std::uint64_t head_from = 0;
      const std::optional<CommitIndex> index =
          head_end >= COMMIT_INDEX_MIN_BYTES ? CommitIndex::open(log, st) : std::nullopt;
      if (index && std::none_of(searches.begin(), searches.end(), [&](const CommitSearch& search) {
            return !search.m_found && index->may_name(search.m_commit);
          })) {
        head_from = std::min(index->covered(), head_end);
      }
      core::lines::LineBlockReader head(file.get(), head_from, head_end, false, k_block_size);
      judge_all(head);
    }
    for (CommitSearch& search : searches) {
      search.m_seen = true;
      search.m_dev = st.st_dev;
      search.m_ino = st.st_ino;
      search.m_whole = whole;
    }
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  return searches;
}

} // namespace kolvex::services::relaycore::log
