#include "services/relaycore/log/counts_cache.hpp"

#include "core/fs.hpp"
#include "paths.hpp"

#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace kolvex::services::relaycore::log {

namespace {

constexpr std::string_view k_magic = "KXCOUNTS1";
// The bytes before where a cache stops that must still be there.
constexpr std::uint64_t k_seal = 4096;

// A digest of the log's bytes just before `covered`; nullopt when they cannot be read.
std::optional<std::uint64_t> seal_of(int fd, std::uint64_t covered)
{
  const std::uint64_t from = covered > k_seal ? covered - k_seal : 0;
  std::string bytes(static_cast<std::size_t>(covered - from), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n =
        ::pread(fd, bytes.data() + got, bytes.size() - got, static_cast<off_t>(from + got));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return std::nullopt;
    }
    got += static_cast<std::size_t>(n);
  }
  return std::hash<std::string>{}(bytes);
}

std::array<std::int64_t*, 8> fields_of(AttestationLogCounts& counts)
{
  return {&counts.pending,
          &counts.uploaded,
          &counts.skipped,
          &counts.unaddressable,
          &counts.corrupt,
          &counts.attested,
          &counts.unattested,
          &counts.replaced};
}

} // namespace

core::fs::Confined counts_cache_path(const core::fs::Confined& log_path)
{
  return log_path.parent() / "log-counts";
}

core::fs::Confined marks_path(const core::fs::Confined& log_path)
{
  return log_path.parent() / "log-marks";
}

std::uint64_t marks_generation(const core::fs::Confined& log_path)
{
  try {
    const std::string text = core::fs::read_bytes(marks_path(log_path), 64);
    return std::strtoull(text.c_str(), nullptr, 10);
  } catch (const std::exception&) {
    return 0;
  }
}

// One write of a fixed width in place, not a replace: a sync bumps it once per
// batch, and an fsync per batch is what marking in place saves.
void bump_marks_generation(const core::fs::Confined& log_path)
{
  const core::fs::Fd file = core::fs::open_regular(marks_path(log_path), O_RDWR | O_CREAT, 0644);
  char text[21] = {};
  const ssize_t n = ::pread(file.get(), text, sizeof text - 1, 0);
  const std::uint64_t next = (n > 0 ? std::strtoull(text, nullptr, 10) : 0) + 1;
  char line[32];
  const int size = std::snprintf(line, sizeof line, "%020" PRIu64 "\n", next);
  if (::pwrite(file.get(), line, static_cast<std::size_t>(size), 0) != size) {
    throw std::system_error(errno == 0 ? EIO : errno,
                            std::generic_category(),
                            "cannot write " + marks_path(log_path).full().string());
  }
}

std::optional<CachedCounts> load_counts(const core::fs::Confined& log_path,
                                        int fd,
                                        const struct stat& log,
                                        std::uint64_t generation)
{
  std::string text;
  try {
    text = core::fs::read_bytes(counts_cache_path(log_path), 4096);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  CachedCounts cached;
  char magic[16] = {};
  std::uint64_t dev = 0;
  std::uint64_t ino = 0;
  std::uint64_t seal = 0;
  auto f = fields_of(cached.counts);
  const int read = std::sscanf(text.c_str(),
                               "%15s %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                               " %" SCNd64 " %" SCNd64 " %" SCNd64 " %" SCNd64 " %" SCNd64
                               " %" SCNd64 " %" SCNd64 " %" SCNd64,
                               magic,
                               &dev,
                               &ino,
                               &cached.covered,
                               &cached.generation,
                               &seal,
                               f[0],
                               f[1],
                               f[2],
                               f[3],
                               f[4],
                               f[5],
                               f[6],
                               f[7]);
  if (read != 14 || k_magic != magic || dev != static_cast<std::uint64_t>(log.st_dev) ||
      ino != static_cast<std::uint64_t>(log.st_ino) || cached.generation != generation ||
      cached.covered > static_cast<std::uint64_t>(log.st_size) ||
      seal_of(fd, cached.covered) != seal) {
    return std::nullopt;
  }
  return cached;
}

void save_counts(const core::fs::Confined& log_path,
                 int fd,
                 const struct stat& log,
                 const CachedCounts& cached)
{
  try {
    const std::optional<std::uint64_t> seal = seal_of(fd, cached.covered);
    if (!seal) {
      return;
    }
    AttestationLogCounts counts = cached.counts;
    std::string text = std::string(k_magic) + " " + std::to_string(log.st_dev) + " " +
                       std::to_string(log.st_ino) + " " + std::to_string(cached.covered) + " " +
                       std::to_string(cached.generation) + " " + std::to_string(*seal);
    for (const std::int64_t* field : fields_of(counts)) {
      text += " " + std::to_string(*field);
    }
    text += "\n";
    core::fs::atomic_replace(counts_cache_path(log_path), text, 0644);
  } catch (const std::exception&) {
    // A cache: the log is counted instead.
  }
}

} // namespace kolvex::services::relaycore::log
