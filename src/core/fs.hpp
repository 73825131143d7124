#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::core::fs {

// A file whose bytes are not valid UTF-8; what() names the file and the byte offset
// of the first ill-formed sequence, which offset() also gives.
class DecodeError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
  DecodeError(const std::string& what, std::size_t offset)
      : std::runtime_error(what), m_offset(offset)
  {
  }
  [[nodiscard]] std::size_t offset() const { return m_offset; }

private:
  std::size_t m_offset = 0;
};

// The whole file at `path` as bytes.  Throws std::system_error (errno) when it cannot
// be opened or read.
[[nodiscard]] std::string read_bytes(const std::filesystem::path& path);

// The whole file at `path` as text; throws DecodeError when it is not strict UTF-8
// (overlongs, surrogates and code points past U+10FFFF rejected) and
// std::system_error when unreadable.
[[nodiscard]] std::string read_text(const std::filesystem::path& path);

// What one stat(2) of a path tells, links followed.
struct FileStat {
  bool regular = false;      // a regular file (not a directory, FIFO, device...)
  bool directory = false;    // a directory
  std::uintmax_t size = 0;   // bytes
  double mtime = 0;          // modification time, epoch seconds with the fraction
  std::int64_t mtime_ns = 0; // the same in nanoseconds, exact (for cache keys)
  std::uint64_t inode = 0;   // with the device, tells a replaced file from an edited one
  std::uint64_t device = 0;
};

// The stat of `path`, or nullopt when it does not exist or cannot be examined.
// Never throws.
[[nodiscard]] std::optional<FileStat> stat_path(const std::filesystem::path& path);

// The modification time of `path` in epoch seconds, or nullopt when it cannot be
// examined.  Never throws.
[[nodiscard]] std::optional<double> modified_time(const std::filesystem::path& path);

// True when something exists at `path` (a broken link does not).  Never throws.
[[nodiscard]] bool exists(const std::filesystem::path& path);

// True when `bytes` is strict UTF-8 (the rules of read_text).  Runs of ASCII are
// checked eight bytes at a time.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

// Byte offset of the first ill-formed sequence in `bytes`, or npos when it is valid.
[[nodiscard]] std::size_t first_invalid_utf8(std::string_view bytes);

// Appends are a single write(2) of one whole line on an O_APPEND descriptor, so a
// concurrent reader sees whole lines only and never needs the lock.  A `line` that
// lacks its final "\n" gets one, so the next append cannot run into it; an empty
// `line` writes nothing.  Creates the file (mode 0644 less umask) when absent.
// Throws std::system_error, also (EIO) for a short write.
void append_line(const std::filesystem::path& path, std::string_view line);

// Replaces `path` with `content`: an exclusive sibling "<name>.<random>.tmp" with mode
// 0600, write, fsync, rename(2), so readers see the old or the new file and never a
// mix.  On any failure the sibling is removed, the original is untouched and the
// error (std::system_error) propagates.  The replaced file keeps mode 0600.
void atomic_replace(const std::filesystem::path& path, std::string_view content);

// Python's str.splitlines() on UTF-8 `text`: boundaries LF, CR LF, CR, VT, FF, FS,
// GS, RS, NEL, U+2028, U+2029; the boundaries are dropped and there is no trailing
// empty piece.  The views point into `text`.
[[nodiscard]] std::vector<std::string_view> splitlines(std::string_view text);

} // namespace kolvex::core::fs
