#include "core/fs.hpp"

#include "core/logging.hpp"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace kolvex::core::fs {

namespace {

namespace stdfs = std::filesystem;

const logging::Logger& logger()
{
  static const logging::Logger instance("kolvex.core.fs");
  return instance;
}

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

int openat_retrying(int dir, const char* name, int flags, mode_t mode = 0)
{
  int fd = -1;
  do {
    fd = ::openat(dir, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// What a non-regular, non-directory entry is, for the refusal message.
const char* kind_of(mode_t mode)
{
  if (S_ISLNK(mode)) {
    return "a symbolic link";
  }
  if (S_ISFIFO(mode)) {
    return "a FIFO";
  }
  if (S_ISCHR(mode)) {
    return "a character device";
  }
  if (S_ISBLK(mode)) {
    return "a block device";
  }
  if (S_ISSOCK(mode)) {
    return "a socket";
  }
  return "not a regular file";
}

[[noreturn]] void refuse(const stdfs::path& shown, mode_t mode)
{
  throw UnsafePathError(shown, S_ISLNK(mode) ? ELOOP : EINVAL, kind_of(mode));
}

// A regular file or directory passes; anything else is refused.
void refuse_unless_plain(const stdfs::path& shown, mode_t mode)
{
  if (!S_ISREG(mode) && !S_ISDIR(mode)) {
    refuse(shown, mode);
  }
}

// After `name` in `dir` could not be opened with `err`: a link or a special file
// there is refused; anything else is the operating system's error.
[[noreturn]] void explain_failure(
    int dir, const std::string& name, const stdfs::path& shown, int err, const std::string& what)
{
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    refuse_unless_plain(shown, st.st_mode);
  }
  throw_errno(err, what + " " + shown.string());
}

// The descriptor `fd` must be a regular file; it is closed by its owner on a throw.
void require_regular(int fd, const stdfs::path& shown, struct stat* out = nullptr)
{
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    throw_errno(errno, "cannot stat " + shown.string());
  }
  if (S_ISDIR(st.st_mode)) {
    throw_errno(EISDIR, "cannot use " + shown.string());
  }
  if (!S_ISREG(st.st_mode)) {
    refuse(shown, st.st_mode);
  }
  if (out != nullptr) {
    *out = st;
  }
}

[[noreturn]] void throw_too_large(const stdfs::path& shown, std::size_t max_bytes)
{
  throw_errno(EFBIG, shown.string() + " holds more than " + std::to_string(max_bytes) + " bytes");
}

// The rest of the file open at `fd`, at most `max_bytes` of it.
std::string read_all(int fd, const stdfs::path& shown, std::size_t max_bytes)
{
  struct stat st {};
  std::string out;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size > max_bytes) {
      throw_too_large(shown, max_bytes);
    }
    out.reserve(size);
  }
  // Read to end of file rather than to st_size: the file may grow while we read.
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw_errno(errno, "cannot read " + shown.string());
    }
    if (n == 0) {
      return out;
    }
    if (static_cast<std::size_t>(n) > max_bytes - out.size()) {
      throw_too_large(shown, max_bytes);
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
}

// One append of `line` to the regular file open at `fd` (O_APPEND), as append_line
// promises.  `readable`: the descriptor may be read, so the last byte can be checked.
void append_to(int fd, const stdfs::path& shown, std::string_view line, bool readable)
{
  if (line.empty()) {
    return;
  }
  // A torn last line (a crash, a full disk, a hand edit) must not swallow this one.
  bool torn = false;
  struct stat st {};
  if (readable && ::fstat(fd, &st) == 0 && st.st_size > 0) {
    char last = '\n';
    ssize_t got = -1;
    do {
      got = ::pread(fd, &last, 1, st.st_size - 1);
    } while (got < 0 && errno == EINTR);
    torn = got == 1 && last != '\n';
  }
  std::string whole;
  whole.reserve(line.size() + 2);
  if (torn) {
    whole += '\n';
  }
  whole.append(line);
  if (whole.back() != '\n') {
    whole += '\n';
  }
  ssize_t n = -1;
  do {
    n = ::write(fd, whole.data(), whole.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    throw_errno(errno, "cannot append to " + shown.string());
  }
  if (static_cast<std::size_t>(n) == whole.size()) {
    return;
  }
  // Writing the rest with a second call could interleave with another writer's line,
  // so the part written is taken back instead.  With O_APPEND our bytes end at the
  // offset; they are cut only while nobody has appended after them.
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  bool rolled_back = false;
  if (end >= n && ::fstat(fd, &st) == 0 && st.st_size == end) {
    rolled_back = ::ftruncate(fd, end - n) == 0;
  }
  throw_errno(EIO,
              "short write appending to " + shown.string() + " (" + std::to_string(n) + " of " +
                  std::to_string(whole.size()) + " bytes" +
                  (rolled_back ? ", taken back)" : ", could not be taken back)"));
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

// The temporary sibling of an atomic replace, made in the directory open at `dir`:
// removed in the destructor unless committed, so every failure path (exceptions
// included) leaves no ".tmp" behind.
class TempFile {
public:
  TempFile(int dir, const std::string& name, const stdfs::path& shown) : m_dir(dir)
  {
    for (int attempt = 0;; ++attempt) {
      std::string candidate = name + "." + random_suffix() + ".tmp";
      const int fd = openat_retrying(
          dir, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd >= 0) {
        m_name = std::move(candidate);
        m_shown = shown;
        m_shown.replace_filename(m_name);
        m_fd = Fd(fd);
        return;
      }
      if (errno != EEXIST || attempt >= 16) {
        throw_errno(errno, "cannot create temporary file for " + shown.string());
      }
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile()
  {
    m_fd = Fd();
    if (!m_committed) {
      ::unlinkat(m_dir, m_name.c_str(), 0);
    }
  }

  [[nodiscard]] int fd() const { return m_fd.get(); }
  [[nodiscard]] const std::string& name() const { return m_name; }
  [[nodiscard]] const stdfs::path& shown() const { return m_shown; }

  void close()
  {
    if (const int err = m_fd.close_now(); err != 0) {
      throw_errno(err, "close " + m_shown.string());
    }
  }

  void commit() { m_committed = true; }

private:
  int m_dir;
  std::string m_name;
  stdfs::path m_shown;
  Fd m_fd;
  bool m_committed = false;
};

// Writes `content` through a temporary sibling in the directory open at `dir` and
// renames it over `name`.  `mode` is set on the descriptor before the rename, so the
// file never has a wider mode than asked for.
void replace_in(int dir,
                const std::string& name,
                const stdfs::path& shown,
                std::string_view content,
                mode_t mode)
{
  TempFile temp(dir, name, shown);
  write_all(temp.fd(), content, "cannot write " + temp.shown().string());
  if (mode != 0600 && ::fchmod(temp.fd(), mode) != 0) {
    throw_errno(errno, "cannot set the mode of " + temp.shown().string());
  }
  if (::fsync(temp.fd()) != 0) {
    throw_errno(errno, "cannot fsync " + temp.shown().string());
  }
  temp.close();
  if (::renameat(dir, temp.name().c_str(), dir, name.c_str()) != 0) {
    throw_errno(errno, "cannot rename " + temp.shown().string() + " to " + shown.string());
  }
  temp.commit();
  // Makes the rename itself durable.  Best-effort: the data is already safe in the
  // file, and some file systems refuse fsync on a directory.
  ::fsync(dir);
}

// ---- The walk beneath a root ---------------------------------------------------------

// The components of `rel`, refusing any that climbs ("..") or an absolute `rel`.
std::vector<std::string> components_of(const Confined& at)
{
  if (at.rel.is_absolute()) {
    throw UnsafePathError(at.full(), EINVAL, "an absolute path where a relative one belongs");
  }
  std::vector<std::string> parts;
  for (const auto& part : at.rel) {
    const std::string text = part.string();
    if (text.empty() || text == ".") {
      continue;
    }
    if (text == "..") {
      throw UnsafePathError(at.full(), EINVAL, "outside " + at.root.string());
    }
    parts.push_back(text);
  }
  return parts;
}

constexpr int k_dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// A directory the walk reached: its descriptor, owned unless it is a root that its
// holder opened (Confined::root_fd).
struct Walked {
  Fd owned;
  int fd = -1;
};

// The directory reached from `at`'s root through the first `depth` of `parts`, each
// one a real directory (created when missing and `create`).
Walked
walk(const Confined& at, const std::vector<std::string>& parts, std::size_t depth, bool create)
{
  Fd owned;
  int dir = -1;
  if (at.root_fd && at.root_fd->get() >= 0) {
    dir = at.root_fd->get(); // opened and checked by its holder; borrowed, never closed here
  } else {
    // The root is the caller's: links in it are followed, and it is created as asked.
    const stdfs::path root_shown = at.root.empty() ? stdfs::path(".") : at.root;
    owned = Fd(open_retrying(root_shown.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (owned.get() < 0 && errno == ENOENT && create) {
      std::error_code ec;
      stdfs::create_directories(root_shown, ec);
      owned = Fd(open_retrying(root_shown.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (owned.get() < 0) {
      throw_errno(errno, "cannot open directory " + root_shown.string());
    }
    dir = owned.get();
  }
  stdfs::path shown = at.root;
  for (std::size_t i = 0; i < depth; ++i) {
    const std::string& part = parts[i];
    shown /= part;
    int fd = openat_retrying(dir, part.c_str(), k_dir_flags);
    if (fd < 0 && errno == ENOENT && create) {
      if (::mkdirat(dir, part.c_str(), 0777) != 0 && errno != EEXIST) {
        throw_errno(errno, "cannot create directory " + shown.string());
      }
      fd = openat_retrying(dir, part.c_str(), k_dir_flags);
    }
    if (fd < 0) {
      explain_failure(dir, part, shown, errno, "cannot open directory");
    }
    owned = Fd(fd);
    dir = owned.get();
  }
  return {std::move(owned), dir};
}

// The verified directory holding `at`, and the name of `at` in it.
struct Located {
  Walked dir;
  std::string name;
  stdfs::path shown;
};

Located locate(const Confined& at, bool create_parents = false)
{
  const std::vector<std::string> parts = components_of(at);
  if (parts.empty()) {
    throw_errno(EISDIR, "no file named in " + at.full().string());
  }
  return {walk(at, parts, parts.size() - 1, create_parents), parts.back(), at.full()};
}

// The status of `name` in `dir` without following it; nullopt when missing.
std::optional<struct stat> entry_status(const Located& where)
{
  struct stat st {};
  if (::fstatat(where.dir.fd, where.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) {
      return std::nullopt;
    }
    throw_errno(errno, "cannot stat " + where.shown.string());
  }
  return st;
}

// An existing entry that a write would replace must be a regular file.
void require_replaceable(const Located& where)
{
  if (const auto st = entry_status(where)) {
    if (S_ISDIR(st->st_mode)) {
      throw_errno(EISDIR, "cannot replace " + where.shown.string());
    }
    if (!S_ISREG(st->st_mode)) {
      refuse(where.shown, st->st_mode);
    }
  }
}

// locate, or nullopt when a directory on the way is missing (or a regular file).
std::optional<Located> locate_if_present(const Confined& at)
{
  try {
    return locate(at);
  } catch (const UnsafePathError&) {
    throw;
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::no_such_file_or_directory ||
        e.code() == std::errc::not_a_directory) {
      return std::nullopt;
    }
    throw;
  }
}

} // namespace

UnsafePathError::UnsafePathError(stdfs::path path, int err, const std::string& why)
    : std::system_error(err, std::generic_category()), m_path(std::move(path)),
      m_what("refusing " + m_path.string() + ": " + why)
{
  static std::mutex mutex;
  static std::set<std::string> warned;
  {
    const std::lock_guard guard(mutex);
    if (!warned.insert(m_path.string()).second) {
      return;
    }
  }
  logger().notice(m_what + "; kolvex reads and writes only real files and directories there");
}

Fd& Fd::operator=(Fd&& other) noexcept
{
  if (this != &other) {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
    m_fd = other.release();
  }
  return *this;
}

Fd::~Fd()
{
  if (m_fd >= 0) {
    ::close(m_fd);
  }
}

int Fd::close_now()
{
  const int fd = release();
  if (fd < 0) {
    return 0;
  }
  return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

Confined confine_at(const stdfs::path& full, std::string_view anchor)
{
  const stdfs::path normal = full.lexically_normal();
  std::vector<stdfs::path> parts(normal.begin(), normal.end());
  while (!parts.empty() && parts.back().empty()) { // a trailing separator
    parts.pop_back();
  }
  std::size_t split = parts.empty() ? 0 : parts.size() - 1;
  for (std::size_t i = parts.size(); i-- > 0;) {
    if (parts[i] == anchor) {
      split = i;
      break;
    }
  }
  Confined out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    (i < split ? out.root : out.rel) /= parts[i];
  }
  return out;
}

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

// ---- Plain paths -----------------------------------------------------------------

std::string read_bytes(const stdfs::path& path, std::size_t max_bytes)
{
  // O_NONBLOCK: a FIFO opens at once (and is then refused) instead of waiting for a
  // writer; it has no effect on a regular file.
  Fd fd(open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    throw_errno(errno, "cannot open " + path.string());
  }
  require_regular(fd.get(), path);
  return read_all(fd.get(), path, max_bytes);
}

std::string read_text(const stdfs::path& path, std::size_t max_bytes)
{
  std::string bytes = read_bytes(path, max_bytes);
  require_utf8(bytes, path);
  return bytes;
}

std::optional<FileStat> stat_path(const stdfs::path& path)
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

void append_line(const stdfs::path& path, std::string_view line)
{
  constexpr int k_flags = O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC;
  bool readable = true;
  Fd fd(open_retrying(path.c_str(), O_RDWR | k_flags, 0644));
  if (fd.get() < 0 && errno == EACCES) {
    readable = false; // write-only: appendable, but the last byte cannot be checked
    fd = Fd(open_retrying(path.c_str(), O_WRONLY | k_flags, 0644));
  }
  if (fd.get() < 0) {
    throw_errno(errno, "cannot open " + path.string() + " for appending");
  }
  require_regular(fd.get(), path);
  append_to(fd.get(), path, line, readable);
  if (const int err = fd.close_now(); err != 0) {
    throw_errno(err, "cannot close " + path.string());
  }
}

void atomic_replace(const stdfs::path& path, std::string_view content)
{
  const stdfs::path dir = path.has_parent_path() ? path.parent_path() : stdfs::path(".");
  const Fd dir_fd(open_retrying(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.get() < 0) {
    throw_errno(errno, "cannot create temporary file for " + path.string());
  }
  replace_in(dir_fd.get(), path.filename().string(), path, content, 0600);
}

// ---- Confined locations ----------------------------------------------------------

Fd open_regular(const Confined& at, int flags, mode_t mode)
{
  const Located where = locate(at);
  Fd fd(openat_retrying(
      where.dir.fd, where.name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
  if (fd.get() < 0) {
    explain_failure(where.dir.fd, where.name, where.shown, errno, "cannot open");
  }
  require_regular(fd.get(), where.shown);
  if (const int status = ::fcntl(fd.get(), F_GETFL); status >= 0) {
    ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK);
  }
  return fd;
}

Fd open_directory(const Confined& at, bool create)
{
  const std::vector<std::string> parts = components_of(at);
  Walked dir = walk(at, parts, parts.size(), create);
  if (dir.owned.get() >= 0) {
    return std::move(dir.owned);
  }
  // The holder's root itself: the caller gets a descriptor of its own to close.
  Fd own(::fcntl(dir.fd, F_DUPFD_CLOEXEC, 0));
  if (own.get() < 0) {
    throw_errno(errno, "cannot open directory " + at.root.string());
  }
  return own;
}

void create_directories(const Confined& at)
{
  const std::vector<std::string> parts = components_of(at);
  (void)walk(at, parts, parts.size(), true);
}

std::optional<struct ::stat> stat_regular(const Confined& at)
{
  const std::optional<Located> where = locate_if_present(at);
  if (!where) {
    return std::nullopt;
  }
  const auto st = entry_status(*where);
  if (st && S_ISDIR(st->st_mode)) {
    throw_errno(EISDIR, "not a file: " + where->shown.string());
  }
  if (st && !S_ISREG(st->st_mode)) {
    refuse(where->shown, st->st_mode);
  }
  return st;
}

bool regular_file_exists(const Confined& at)
{
  return stat_regular(at).has_value();
}

std::string read_bytes(const Confined& at, std::size_t max_bytes)
{
  const Fd fd = open_regular(at, O_RDONLY);
  return read_all(fd.get(), at.full(), max_bytes);
}

std::string read_text(const Confined& at, std::size_t max_bytes)
{
  std::string bytes = read_bytes(at, max_bytes);
  require_utf8(bytes, at.full());
  return bytes;
}

void append_line(const Confined& at, std::string_view line)
{
  bool readable = true;
  Fd fd;
  try {
    fd = open_regular(at, O_RDWR | O_APPEND | O_CREAT);
  } catch (const UnsafePathError&) {
    throw;
  } catch (const std::system_error& e) {
    if (e.code() != std::errc::permission_denied) {
      throw;
    }
    readable = false; // write-only: appendable, but the last byte cannot be checked
    fd = open_regular(at, O_WRONLY | O_APPEND | O_CREAT);
  }
  append_to(fd.get(), at.full(), line, readable);
  if (const int err = fd.close_now(); err != 0) {
    throw_errno(err, "cannot close " + at.full().string());
  }
}

void atomic_replace(const Confined& at, std::string_view content, mode_t mode)
{
  const Located where = locate(at);
  require_replaceable(where);
  replace_in(where.dir.fd, where.name, where.shown, content, mode);
}

bool remove_file(const Confined& at)
{
  const std::optional<Located> found = locate_if_present(at);
  if (!found || !entry_status(*found)) {
    return false;
  }
  const Located& where = *found;
  require_replaceable(where);
  if (::unlinkat(where.dir.fd, where.name.c_str(), 0) != 0) {
    if (errno == ENOENT) {
      return false;
    }
    throw_errno(errno, "cannot remove " + where.shown.string());
  }
  return true;
}

void rename_file(const Confined& from, const Confined& to)
{
  const Located source = locate(from);
  const auto st = entry_status(source);
  if (!st) {
    throw_errno(ENOENT, "cannot rename " + source.shown.string());
  }
  if (!S_ISREG(st->st_mode)) {
    require_replaceable(source); // says what it is
  }
  const Located target = locate(to);
  require_replaceable(target);
  if (::renameat(source.dir.fd, source.name.c_str(), target.dir.fd, target.name.c_str()) != 0) {
    throw_errno(errno, "cannot rename " + source.shown.string() + " to " + target.shown.string());
  }
}

} // namespace kolvex::core::fs
