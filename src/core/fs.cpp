#include "core/fs.hpp"

#include "core/text.hpp"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kolvex::core::fs {

namespace {

[[noreturn]] void throw_errno(int err, const std::string& what)
{
  throw std::system_error(err, std::generic_category(), what);
}

int open_retrying(const char* path, int flags, mode_t mode = 0)
{
  int fd = -1;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Owns a descriptor; close errors on the paths that care are checked by release().
class Fd {
public:
  explicit Fd(int fd) : m_fd(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd()
  {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
  }
  [[nodiscard]] int get() const { return m_fd; }
  // Closes now and returns close(2)'s errno, 0 on success.
  int close_now()
  {
    const int fd = m_fd;
    m_fd = -1;
    return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
  }

private:
  int m_fd;
};

// Writes all of `data`, resuming after EINTR and partial writes.
void write_all(int fd, std::string_view data, const std::string& what)
{
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw_errno(errno, what);
    }
    if (n == 0) {
      throw_errno(EIO, what);
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string random_suffix()
{
  unsigned char bytes[6] = {};
  if (::getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy yet (very early boot): pid and a counter still make clashes rare, and
    // O_EXCL turns a clash into a retry, never into sharing a file.
    static unsigned counter = 0;
    const unsigned value = static_cast<unsigned>(::getpid()) * 2654435761U + ++counter;
    std::memcpy(bytes, &value, sizeof value);
  }
  static constexpr char k_hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += k_hex[b >> 4];
    out += k_hex[b & 0xF];
  }
  return out;
}

// The temporary sibling of an atomic replace: removed in the destructor unless
// committed, so every failure path (exceptions included) leaves no ".tmp" behind.
class TempFile {
public:
  explicit TempFile(const std::filesystem::path& target)
  {
    const std::string name = target.filename().string();
    for (int attempt = 0;; ++attempt) {
      std::filesystem::path candidate = target;
      candidate.replace_filename(name + "." + random_suffix() + ".tmp");
      const int fd =
          open_retrying(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) {
        m_path = std::move(candidate);
        m_fd = fd;
        return;
      }
      if (errno != EEXIST || attempt >= 16) {
        throw_errno(errno, "cannot create temporary file for " + target.string());
      }
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile()
  {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
    if (!m_committed) {
      ::unlink(m_path.c_str());
    }
  }

  [[nodiscard]] int fd() const { return m_fd; }
  [[nodiscard]] const std::filesystem::path& path() const { return m_path; }

  void close()
  {
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0 && errno != EINTR) {
      throw_errno(errno, "close " + m_path.string());
    }
  }

  void commit() { m_committed = true; }

private:
  std::filesystem::path m_path;
  int m_fd = -1;
  bool m_committed = false;
};

// Makes the rename itself durable.  Best-effort: the data is already safe in the
// file, and some file systems refuse fsync on a directory.
void sync_directory(const std::filesystem::path& dir)
{
  const int fd = open_retrying(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

} // namespace

std::string read_bytes(const std::filesystem::path& path)
{
  Fd fd(open_retrying(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    throw_errno(errno, "cannot open " + path.string());
  }
  struct stat st {};
  std::string out;
  if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    out.reserve(static_cast<std::size_t>(st.st_size));
  }
  // Read to end of file rather than to st_size: the file may grow while we read, and
  // /proc-like files report size 0.
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw_errno(errno, "cannot read " + path.string());
    }
    if (n == 0) {
      break;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

std::string read_text(const std::filesystem::path& path)
{
  std::string bytes = read_bytes(path);
  const std::size_t bad = first_invalid_utf8(bytes);
  if (bad != std::string_view::npos) {
    static constexpr char k_hex[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(bytes[bad]);
    std::string what = path.string() + ": not valid UTF-8: byte 0x";
    what += k_hex[byte >> 4];
    what += k_hex[byte & 0xF];
    what += " at offset " + std::to_string(bad);
    throw DecodeError(what, bad);
  }
  return bytes;
}

std::optional<FileStat> stat_path(const std::filesystem::path& path)
{
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    return std::nullopt;
  }
  FileStat info;
  info.regular = S_ISREG(st.st_mode);
  info.directory = S_ISDIR(st.st_mode);
  info.size = static_cast<std::uintmax_t>(st.st_size);
  info.mtime =
      static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
  info.mtime_ns = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  info.inode = static_cast<std::uint64_t>(st.st_ino);
  info.device = static_cast<std::uint64_t>(st.st_dev);
  return info;
}

std::optional<double> modified_time(const std::filesystem::path& path)
{
  if (const auto info = stat_path(path)) {
    return info->mtime;
  }
  return std::nullopt;
}

bool exists(const std::filesystem::path& path)
{
  return stat_path(path).has_value();
}

std::size_t first_invalid_utf8(std::string_view bytes)
{
  constexpr std::uint64_t k_high_bits = 0x8080808080808080ULL;
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (n - i >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes.data() + i, sizeof word);
      const std::uint64_t high = word & k_high_bits;
      if (high == 0) {
        i += 8;
        continue;
      }
      // Skip the ASCII bytes in front of the first non-ASCII one in this word.
      if constexpr (std::endian::native == std::endian::little) {
        i += static_cast<std::size_t>(std::countr_zero(high)) / 8;
      } else {
        i += static_cast<std::size_t>(std::countl_zero(high)) / 8;
      }
    } else if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const text::Utf8Step step = text::utf8_step(bytes, i);
    if (!step.valid) {
      return i;
    }
    i += step.length;
  }
  return std::string_view::npos;
}

bool is_valid_utf8(std::string_view bytes)
{
  return first_invalid_utf8(bytes) == std::string_view::npos;
}

void append_line(const std::filesystem::path& path, std::string_view line)
{
  std::string terminated;
  if (!line.empty() && line.back() != '\n') {
    terminated.reserve(line.size() + 1);
    terminated.append(line);
    terminated.push_back('\n');
    line = terminated;
  }
  Fd fd(open_retrying(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    throw_errno(errno, "cannot open " + path.string() + " for appending");
  }
  if (!line.empty()) {
    ssize_t n = -1;
    do {
      n = ::write(fd.get(), line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      throw_errno(errno, "cannot append to " + path.string());
    }
    // Writing the rest with a second call could interleave with another writer's
    // line, so a short write is reported instead of completed.
    if (static_cast<std::size_t>(n) != line.size()) {
      throw_errno(EIO, "short write appending to " + path.string());
    }
  }
  if (const int err = fd.close_now(); err != 0) {
    throw_errno(err, "cannot close " + path.string());
  }
}

void atomic_replace(const std::filesystem::path& path, std::string_view content)
{
  TempFile temp(path);
  write_all(temp.fd(), content, "cannot write " + temp.path().string());
  if (::fsync(temp.fd()) != 0) {
    throw_errno(errno, "cannot fsync " + temp.path().string());
  }
  temp.close();
  if (::rename(temp.path().c_str(), path.c_str()) != 0) {
    throw_errno(errno, "cannot rename " + temp.path().string() + " to " + path.string());
  }
  temp.commit();
  sync_directory(path.parent_path());
}

std::vector<std::string_view> splitlines(std::string_view text)
{
  std::vector<std::string_view> lines;
  const std::size_t n = text.size();
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t boundary = 0;
    if (c == '\n' || c == '\v' || c == '\f' || (c >= 0x1C && c <= 0x1E)) {
      boundary = 1;
    } else if (c == '\r') {
      boundary = (i + 1 < n && text[i + 1] == '\n') ? 2 : 1;
    } else if (c == 0xC2 && i + 1 < n && static_cast<unsigned char>(text[i + 1]) == 0x85) {
      boundary = 2; // NEL
    } else if (c == 0xE2 && i + 2 < n && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
      boundary = 3; // LINE SEPARATOR, PARAGRAPH SEPARATOR
    }
    if (boundary == 0) {
      ++i;
      continue;
    }
    lines.push_back(text.substr(start, i - start));
    i += boundary;
    start = i;
  }
  if (start < n) {
    lines.push_back(text.substr(start));
  }
  return lines;
}

} // namespace kolvex::core::fs
