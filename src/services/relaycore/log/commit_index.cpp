#include "services/relaycore/log/commit_index.hpp"

#include "core/lines.hpp"
#include "services/relaycore/log/commit_search.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace kolvex::services::relaycore::log {

namespace {

constexpr char k_magic[8] = {'K', 'X', 'C', 'I', 'D', 'X', '1', '\n'};
// magic, device, inode, covered, count; then count sorted keys.
constexpr std::size_t k_header = 8 + 4 * 8;

bool read_exact(int fd, void* into, std::size_t size, std::uint64_t at)
{
  auto* bytes = static_cast<char*>(into);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::pread(fd, bytes + got, size - got, static_cast<off_t>(at + got));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

void put(std::string& out, std::uint64_t value)
{
  char bytes[8];
  std::memcpy(bytes, &value, sizeof value);
  out.append(bytes, sizeof bytes);
}

} // namespace

core::fs::Confined commit_index_path(const core::fs::Confined& log)
{
  return log.parent() / "log-commits.idx";
}

std::uint64_t commit_key(std::string_view commit)
{
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : commit) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

std::optional<CommitIndex> CommitIndex::open(const core::fs::Confined& log_file,
                                             const struct stat& log)
{
  CommitIndex index;
  try {
    index.m_fd = core::fs::open_regular(commit_index_path(log_file), O_RDONLY);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  char magic[8];
  std::uint64_t fields[4];
  struct stat st {};
  if (!read_exact(index.m_fd.get(), magic, sizeof magic, 0) ||
      std::memcmp(magic, k_magic, sizeof magic) != 0 ||
      !read_exact(index.m_fd.get(), fields, sizeof fields, sizeof magic) ||
      ::fstat(index.m_fd.get(), &st) != 0) {
    return std::nullopt;
  }
  index.m_covered = fields[2];
  index.m_count = fields[3];
  if (fields[0] != static_cast<std::uint64_t>(log.st_dev) ||
      fields[1] != static_cast<std::uint64_t>(log.st_ino) ||
      index.m_covered > static_cast<std::uint64_t>(log.st_size) ||
      static_cast<std::uint64_t>(st.st_size) != k_header + 8 * index.m_count) {
    return std::nullopt;
  }
  return index;
}

bool CommitIndex::may_name(std::string_view commit) const
{
  const std::uint64_t key = commit_key(commit);
  std::uint64_t low = 0;
  std::uint64_t high = m_count;
  while (low < high) {
    const std::uint64_t mid = low + (high - low) / 2;
    std::uint64_t at = 0;
    if (!read_exact(m_fd.get(), &at, sizeof at, k_header + 8 * mid)) {
      return true; // cannot tell: the log is read
    }
    if (at == key) {
      return true;
    }
    if (at < key) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return false;
}

void CommitIndex::rebuild(const core::fs::Confined& log_file, int fd, const struct stat& log)
{
  try {
    std::vector<std::uint64_t> keys;
    core::lines::LineBlockReader reader(
        fd, 0, static_cast<std::uint64_t>(log.st_size), false, std::size_t{1} << 20);
    while (const auto block = reader.next()) {
      core::lines::for_each_line(*block, [&](std::string_view line) {
        if (const std::optional<std::string> commit = line_commit(line)) {
          keys.push_back(commit_key(*commit));
        }
      });
    }
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::string out(k_magic, sizeof k_magic);
    out.reserve(k_header + 8 * keys.size());
    put(out, static_cast<std::uint64_t>(log.st_dev));
    put(out, static_cast<std::uint64_t>(log.st_ino));
    put(out, reader.whole_lines_end());
    put(out, keys.size());
    for (const std::uint64_t key : keys) {
      put(out, key);
    }
    core::fs::atomic_replace(commit_index_path(log_file), out);
  } catch (const std::exception&) {
    // A cache: the log is read instead.
  }
}

} // namespace kolvex::services::relaycore::log
