#include "services/relaycore/sync/synced_marker.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/lines.hpp"
#include "core/text.hpp"
#include "paths.hpp"
#include "services/relaycore/log/log_writer.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kolvex::services::relaycore::sync {

namespace {

// `line` as the rewrite writes it when it is a JSON object (marked when its
// "commit" text is in `commits`, which also lands in `commit`); nullopt for a line
// kept byte for byte: not JSON, or JSON but not an object.
std::optional<std::string> rewrite_line(std::string_view line,
                                        const std::set<std::string>& commits,
                                        std::optional<std::string>& commit)
{
  core::Value value;
  try {
    value = core::json::parse(line);
  } catch (const core::json::JsonError&) {
    return std::nullopt;
  }
  if (!value.is_map()) {
    return std::nullopt;
  }
  core::Map& object = value.as_map();
  if (const core::Value* found = object.find("commit"); found != nullptr && found->is_string()) {
    commit = found->as_string();
    if (commits.contains(*commit)) {
      object.erase("uploaded");
      object.set("synced", true);
    }
  }
  return core::json::dump(value);
}

// Reads the whole log at `log` into `buffer`, which is kept from call to call and
// only ever grows: a first sync reads the same 30 MB log 200 times, and a fresh
// buffer each time costs an allocation, page faults and a second copy.  Returns the
// bytes read, a view into `buffer`.  Throws std::system_error (UnsafePathError for
// a link or a special file).
std::string_view read_into(const core::fs::Confined& log, std::string& buffer)
{
  constexpr std::size_t k_slack = 1 << 16;
  const core::fs::Fd file = core::fs::open_regular(log, O_RDONLY);
  struct stat st {};
  if (::fstat(file.get(), &st) == 0 && st.st_size > 0 &&
      buffer.size() < static_cast<std::size_t>(st.st_size) + k_slack) {
    buffer.resize(static_cast<std::size_t>(st.st_size) + k_slack);
  }
  std::size_t length = 0;
  for (;;) {
    if (buffer.size() - length < k_slack) { // it grew while we read
      buffer.resize(std::max(buffer.size() * 2, length + k_slack));
    }
    const ssize_t n = ::read(file.get(), buffer.data() + length, buffer.size() - length);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      throw std::system_error(errno, std::generic_category(), "cannot read " + log.full().string());
    }
    if (n == 0) {
      return {buffer.data(), length};
    }
    length += static_cast<std::size_t>(n);
  }
}

} // namespace

SyncedMarker::SyncedMarker(std::filesystem::path log_path)
    : m_log(paths::confined(log_path)), m_log_path(std::move(log_path))
{
}

SyncedMarker::SyncedMarker(core::fs::Confined log) : m_log(std::move(log)), m_log_path(m_log.full())
{
}

void SyncedMarker::rewrite_lines(std::string_view text,
                                 const std::set<std::string>& commits,
                                 std::string& out,
                                 Memo& next,
                                 MarkStats& stats)
{
  core::lines::for_each_line(text, [&](std::string_view line) {
    ++stats.lines_parsed;
    std::optional<std::string> commit;
    const std::optional<std::string> written = rewrite_line(line, commits, commit);
    if (!written) {
      out += line;
    } else {
      if (commit) {
        next.by_commit[*commit].push_back(static_cast<std::uint32_t>(next.spans.size()));
        next.spans.push_back(Span{out.size(), written->size()});
      }
      out += *written;
    }
    out += '\n';
  });
}

// The log still starts with what the last rewrite wrote (`m_memo.text`), and each
// of its lines would be written back unchanged unless marked now: object lines are
// already in the form a rewrite gives them, other lines are kept anyway.  So only
// the spans of `commits` are parsed again, the bytes between them are copied, and
// the lines appended since go through the full rewrite.  The memo's spans are
// moved to where they land in the new text.
void SyncedMarker::rewrite_from_memo(std::string_view file,
                                     const std::set<std::string>& commits,
                                     Memo& memo,
                                     std::string& out,
                                     MarkStats& stats)
{
  std::vector<std::uint32_t> marked;
  for (const std::string& commit : commits) {
    if (const auto found = memo.by_commit.find(commit); found != memo.by_commit.end()) {
      marked.insert(marked.end(), found->second.begin(), found->second.end());
    }
  }
  std::sort(marked.begin(), marked.end());

  out.reserve(file.size() + 64 * marked.size() + 64);
  const std::string_view old_text = memo.text;
  std::size_t copied = 0; // bytes of old_text already in `out`
  auto next_marked = marked.begin();
  for (std::uint32_t i = 0; i < memo.spans.size(); ++i) {
    Span& span = memo.spans[i];
    if (next_marked == marked.end() || *next_marked != i) {
      span.begin = span.begin - copied + out.size();
      continue;
    }
    ++next_marked;
    out.append(old_text.substr(copied, span.begin - copied));
    const std::string_view line = old_text.substr(span.begin, span.size);
    ++stats.lines_parsed;
    std::optional<std::string> commit;
    const std::optional<std::string> written = rewrite_line(line, commits, commit);
    const std::size_t begin = out.size();
    out += written ? std::string_view(*written) : line;
    copied = span.begin + span.size;
    span = Span{begin, out.size() - begin};
  }
  out.append(old_text.substr(copied));

  // The whole text is stripped at its end: a tail of white space only adds no line.
  const std::string_view tail = file.substr(old_text.size());
  const std::string_view stripped = core::text::python_strip(tail);
  if (!stripped.empty()) {
    const auto kept = static_cast<std::size_t>(stripped.data() + stripped.size() - tail.data());
    rewrite_lines(tail.substr(0, kept), commits, out, memo, stats);
  }
}

MarkStats SyncedMarker::mark(const std::set<std::string>& commits)
{
  MarkStats stats;
  if (commits.empty()) {
    return stats;
  }
  const core::fs::Confined& log = m_log;
  const log::LogLock lock(m_log);
  const std::string_view file = read_into(log, m_read);
  // The memo is only good while it is a prefix of the log: any other writer than
  // an appender (a replace, another process's marking, a hand edit) shows as a
  // difference here, and the whole log is then rewritten from scratch.
  const bool reusable = !m_memo.text.empty() && file.starts_with(m_memo.text);
  // What matches the memo is text this marker wrote: only the rest needs checking.
  const std::size_t known = reusable ? m_memo.text.size() : 0;
  core::fs::require_utf8(file.substr(known), m_log_path, known);
  try {
    std::string out = std::move(m_spare);
    out.clear();
    if (reusable) {
      stats.reused = true;
      rewrite_from_memo(file, commits, m_memo, out, stats);
    } else {
      m_memo = Memo{};
      out.reserve(file.size() + file.size() / 64 + 64);
      rewrite_lines(core::text::python_strip(file), commits, out, m_memo, stats);
    }
    if (out.empty()) {
      out.push_back('\n'); // nothing but white space: one empty line
    }
    core::fs::atomic_replace(log, out);
    if (out == "\n") {
      m_memo = Memo{}; // a text that starts with white space is no base for the next
    } else {
      m_spare = std::move(m_memo.text);
      m_memo.text = std::move(out);
    }
  } catch (...) {
    m_memo = Memo{}; // its spans may already describe a text that was never written
    throw;
  }
  return stats;
}

} // namespace kolvex::services::relaycore::sync
