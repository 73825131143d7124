#include "services/relaycore/sync/synced_patcher.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/lines.hpp"
#include "core/text.hpp"
#include "core/value.hpp"
#include "paths.hpp"
#include "services/relaycore/log/counts_cache.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "services/relaycore/sync/synced_marker.hpp"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <string_view>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kolvex::services::relaycore::sync {

namespace {

constexpr std::string_view k_unsent = "\"synced\": false";
constexpr std::size_t k_value_at = k_unsent.size() - 5; // where `false` starts
constexpr std::string_view k_marked_value = " true";
constexpr std::size_t k_block = std::size_t{4} << 20;

std::size_t digest(std::string_view bytes)
{
  return std::hash<std::string_view>{}(bytes);
}

// Reads up to `size` bytes at `offset` into `out`; fewer only at the file's end.
void read_at(int fd,
             std::uint64_t offset,
             std::size_t size,
             std::string& out,
             const std::filesystem::path& path)
{
  out.resize(size);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, out.data() + got, size - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      throw std::system_error(errno, std::generic_category(), "cannot read " + path.string());
    }
    if (n == 0) {
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  out.resize(got);
}

// Where in `line` (an unsent object line, parsed as `value`) its `false` can turn
// into ` true` and leave exactly the marked record; npos when nowhere: a legacy
// "uploaded" member must go, which only a rewrite does, and a "synced" spelt
// otherwise, or the text inside some string, does not parse back as the record.
std::size_t flag_position(std::string_view line, const core::Value& value)
{
  if (value.as_map().contains("uploaded")) {
    return std::string_view::npos;
  }
  core::Value expected = value;
  expected.as_map().set("synced", true);
  for (std::size_t at = line.find(k_unsent); at != std::string_view::npos;
       at = line.find(k_unsent, at + 1)) {
    std::string candidate(line);
    candidate.replace(at + k_value_at, k_marked_value.size(), k_marked_value);
    try {
      if (core::json::parse(candidate) == expected) {
        return at + k_value_at;
      }
    } catch (const core::json::JsonError&) {
    }
  }
  return std::string_view::npos;
}

} // namespace

SyncedPatcher::SyncedPatcher(std::filesystem::path log_path)
    : m_log(paths::confined(log_path)), m_log_path(std::move(log_path))
{
}

SyncedPatcher::SyncedPatcher(core::fs::Confined log)
    : m_log(std::move(log)), m_log_path(m_log.full())
{
}

void SyncedPatcher::reset_index()
{
  m_unsent.clear();
  m_indexed = 0;
  m_indexed_any = false;
}

// Indexes the unsent lines from byte `from` (a line start) to `size`, a block at a
// time so that a large log is never held whole.  Under the lock no writer of ours
// is mid-line, so a last line without its end counts too.
void SyncedPatcher::index_from(int fd, std::uint64_t from, std::uint64_t size, PatchStats& stats)
{
  std::string block;
  std::string carry;
  std::uint64_t carry_at = from;
  std::uint64_t at = from;
  while (at < size || !carry.empty()) {
    read_at(fd,
            at,
            static_cast<std::size_t>(std::min<std::uint64_t>(k_block, size - at)),
            block,
            m_log_path);
    at += block.size();
    stats.bytes_read += block.size();
    carry += block;
    const bool last = at >= size || block.empty();
    const std::size_t end = last ? carry.size() : carry.rfind('\n') + 1; // npos + 1 == 0
    if (end == 0) {
      continue; // one line longer than a block: read on
    }
    const std::string_view text = std::string_view(carry).substr(0, end);
    core::fs::require_utf8(text, m_log_path, carry_at);
    core::lines::for_each_line(text, [&](std::string_view raw) {
      const std::string_view line = core::text::python_strip(raw);
      if (line.find("\"commit\"") == std::string_view::npos) {
        return;
      }
      core::Value value;
      try {
        value = core::json::parse(line);
      } catch (const core::json::JsonError&) {
        return;
      }
      const core::Value* commit = value.get("commit");
      if (!value.is_map() || commit == nullptr || !commit->is_string() ||
          commit->as_string().empty()) {
        return;
      }
      const core::Value* synced = value.get("synced");
      const core::Value* uploaded = value.get("uploaded");
      if ((synced != nullptr && core::truthy(*synced)) ||
          (uploaded != nullptr && core::truthy(*uploaded))) {
        return;
      }
      m_unsent[commit->as_string()].push_back(
          Line{carry_at + static_cast<std::uint64_t>(line.data() - text.data()),
               static_cast<std::uint32_t>(line.size()),
               digest(line),
               flag_position(line, value)});
    });
    carry_at += end;
    carry.erase(0, end);
    if (last) {
      break;
    }
  }
  m_indexed = carry_at;
  m_indexed_any = true;
}

PatchStats SyncedPatcher::mark(const std::set<std::string>& commits)
{
  PatchStats stats;
  if (commits.empty()) {
    return stats;
  }
  const core::fs::Confined& log = m_log;
  const log::LogLock lock(m_log);
  const core::fs::Fd file = core::fs::open_regular(log, O_RDWR);
  struct stat st {};
  if (::fstat(file.get(), &st) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot stat " + m_log_path.string());
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const bool same_file = m_indexed_any && m_device == static_cast<std::uint64_t>(st.st_dev) &&
                         m_inode == static_cast<std::uint64_t>(st.st_ino) && size >= m_indexed;
  if (!same_file) {
    reset_index();
    m_device = static_cast<std::uint64_t>(st.st_dev);
    m_inode = static_cast<std::uint64_t>(st.st_ino);
  }
  index_from(file.get(), m_indexed, size, stats);

  std::set<std::string> rewrite;
  std::string bytes;
  // Marks `commit`'s lines; false when one is no longer what was read.
  const auto patch = [&](const std::string& commit) {
    const auto found = m_unsent.find(commit);
    if (found == m_unsent.end()) {
      return true; // sent before, or not in the log
    }
    for (const Line& line : found->second) {
      read_at(file.get(), line.offset, line.size, bytes, m_log_path);
      if (bytes.size() != line.size || digest(bytes) != line.digest) {
        return false;
      }
    }
    for (const Line& line : found->second) {
      if (line.flag == std::string_view::npos) {
        rewrite.insert(commit);
        continue;
      }
      const auto offset = static_cast<off_t>(line.offset + line.flag);
      ssize_t n = 0;
      do {
        n = ::pwrite(file.get(), k_marked_value.data(), k_marked_value.size(), offset);
      } while (n < 0 && errno == EINTR);
      if (n != static_cast<ssize_t>(k_marked_value.size())) {
        throw std::system_error(
            n < 0 ? errno : EIO, std::generic_category(), "cannot mark " + m_log_path.string());
      }
      ++stats.patched;
    }
    m_unsent.erase(found);
    return true;
  };
  std::vector<std::string> changed;
  try {
    for (const std::string& commit : commits) {
      if (!patch(commit)) {
        changed.push_back(commit);
      }
    }
  } catch (...) {
    if (stats.patched > 0) {
      log::bump_marks_generation(m_log);
    }
    throw;
  }
  if (!changed.empty()) {
    // Someone rewrote lines under us (a writer that timed out on the lock, a hand
    // edit): find them again, and leave to the rewrite what still does not match.
    reset_index();
    index_from(file.get(), 0, size, stats);
    for (const std::string& commit : changed) {
      if (!patch(commit)) {
        rewrite.insert(commit);
      }
    }
  }
  if (stats.patched > 0) {
    log::bump_marks_generation(m_log); // counts taken before now are stale
  }
  if (!rewrite.empty()) {
    stats.rewritten = rewrite.size();
    reset_index(); // the rewrite replaces the file
    (void)SyncedMarker(m_log).mark(rewrite);
  }
  return stats;
}

} // namespace kolvex::services::relaycore::sync
