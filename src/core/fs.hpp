#pragma once

// Files.  Two kinds of location are served here.
//
// A plain path (user settings, git hooks, test files) is used as the user laid it
// out, symbolic links included; only a FIFO or device is refused, so that no read
// can block or run forever.
//
// A Confined location lies beneath a trusted root, and everything between the root
// and the file must be real: a repository can ship symbolic links, and a link under
// .kolvex/ must never turn a read or a write of ours against a file outside it.
// Every directory below the root is opened with O_NOFOLLOW from the descriptor of
// the one above; files open with O_NOFOLLOW|O_NONBLOCK and are used only when fstat
// says they are regular; creation, rename and removal happen with the *at calls on
// the verified directory's descriptor.  A refusal throws UnsafePathError and warns
// once per path (see the constructor).

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
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

// A location refused because it is not what it must be: a symbolic link, a FIFO,
// device or socket, or a path that climbs out of its root.  A std::system_error
// (ELOOP for a link, EINVAL otherwise), so callers that fail open on operating-
// system errors keep doing so.  Constructing one warns "<path>: <why> ..." once per
// path and process: a warning on the command line, a debug line on a hook path
// (core::logging::on_hook_path).
class UnsafePathError : public std::system_error {
public:
  // `path` is the offending entry, `why` says what it is ("a symbolic link").
  UnsafePathError(std::filesystem::path path, int err, const std::string& why);
  // The entry that was refused (which may be a directory above the one asked for).
  [[nodiscard]] const std::filesystem::path& path() const { return m_path; }
  [[nodiscard]] const char* what() const noexcept override { return m_what.c_str(); }

private:
  std::filesystem::path m_path;
  std::string m_what;
};

// An owned file descriptor, closed on destruction.
class Fd {
public:
  // Takes ownership of `fd` (-1: none).
  explicit Fd(int fd = -1) : m_fd(fd) {}
  Fd(Fd&& other) noexcept : m_fd(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd();
  // The descriptor, -1 when none.
  [[nodiscard]] int get() const { return m_fd; }
  // Gives the descriptor up without closing it.
  int release() { return std::exchange(m_fd, -1); }
  // Closes now; returns close(2)'s errno, 0 on success (EINTR counts as closed).
  int close_now();

private:
  int m_fd;
};

// Writes all of `data` to the descriptor `fd`, resuming after EINTR and partial
// writes.  Throws std::system_error with `what` (EIO when nothing more is taken).
void write_all(int fd, std::string_view data, const std::string& what);

// A location beneath a trusted directory: `root` is used as given (the caller's
// choice, links in it included); `rel` is relative and every one of its components
// must be a real directory or, at the end, the real entry asked for.
struct Confined {
  std::filesystem::path root;
  std::filesystem::path rel;
  // `root` already open, as whoever holds the repository open checked it once (see
  // paths::RepositoryHandle): the walk starts at this descriptor, one openat(2) per
  // component of `rel`, instead of resolving `root` by name again.  Null: by name.
  std::shared_ptr<const Fd> root_fd{};
  // root / rel: the path that messages name.
  [[nodiscard]] std::filesystem::path full() const { return rel.empty() ? root : root / rel; }
  // The directory holding this entry (the root itself for a one-component `rel`).
  [[nodiscard]] Confined parent() const { return {root, rel.parent_path(), root_fd}; }
  // `name` (one or more components) beneath this location.
  [[nodiscard]] Confined operator/(const std::filesystem::path& name) const
  {
    return {root, rel / name, root_fd};
  }
};

// `full` anchored at the directory above its last component named `anchor`
// (".kolvex"): root = that directory, rel = the rest.  Without such a component,
// root = the directory holding `full` and rel = its last component.
[[nodiscard]] Confined confine_at(const std::filesystem::path& full, std::string_view anchor);

// No limit on a read.
inline constexpr std::size_t k_unlimited = std::numeric_limits<std::size_t>::max();

// ---- Plain paths -----------------------------------------------------------------

// The whole file at `path` as bytes.  Throws std::system_error (errno) when it cannot
// be opened or read, UnsafePathError when it is not a regular file (a FIFO or a
// device is refused before any byte is read), and std::system_error EFBIG when it
// holds more than `max_bytes`.
[[nodiscard]] std::string read_bytes(const std::filesystem::path& path,
                                     std::size_t max_bytes = k_unlimited);

// The whole file at `path` as text; throws DecodeError when it is not strict UTF-8
// (overlongs, surrogates and code points past U+10FFFF rejected), otherwise as
// read_bytes.
[[nodiscard]] std::string read_text(const std::filesystem::path& path,
                                    std::size_t max_bytes = k_unlimited);

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

// Appends are a single write(2) of one whole line on an O_APPEND descriptor, so a
// concurrent reader sees whole lines only and never needs the lock.  A `line` that
// lacks its final "\n" gets one, and a file whose last byte is not "\n" (a torn
// line) gets one first, so no two records are ever glued into one line (without
// the writers' lock, another append still in flight can look like a torn line and
// cost a blank one, which readers skip); an empty `line` writes nothing.  Creates the file (mode
// 0644 less umask) when absent.  A short write (full disk, file size limit) is truncated back to
// where it began and reported.  Throws std::system_error (EIO for a short write), UnsafePathError
// for a file that is not regular.
void append_line(const std::filesystem::path& path, std::string_view line);

// Replaces `path` with `content`: an exclusive sibling "<name>.<random>.tmp" with mode
// 0600, write, fsync, rename(2), so readers see the old or the new file and never a
// mix.  On any failure the sibling is removed, the original is untouched and the
// error (std::system_error) propagates.  The replaced file keeps mode 0600.
void atomic_replace(const std::filesystem::path& path, std::string_view content);

// ---- Confined locations ----------------------------------------------------------
//
// Each throws UnsafePathError for a symbolic link, a special file or a climb out of
// the root anywhere on the way, and std::system_error with the operating system's
// errno otherwise (ENOENT for a missing entry, ENOTDIR for a regular file where a
// directory belongs, EISDIR for a directory where a file belongs).

// Opens the regular file `at` with `flags` (O_RDONLY, O_WRONLY or O_RDWR, with
// O_APPEND, O_CREAT, O_TRUNC as needed; a creation uses `mode` less umask).  The
// descriptor is close-on-exec and blocking; its file is regular.  Parent directories
// are not created.
[[nodiscard]] Fd open_regular(const Confined& at, int flags, mode_t mode = 0644);

// Opens the real directory `at` for reading (a descriptor for the *at calls,
// fdopendir or fsync), creating it and its missing parents (mode 0777 less umask)
// when `create` is true.
[[nodiscard]] Fd open_directory(const Confined& at, bool create = false);

// Creates the directory `at` and its missing parents; every existing one must be real.
void create_directories(const Confined& at);

// The status of the regular file `at`; nullopt when it (or a directory on the way)
// does not exist.
[[nodiscard]] std::optional<struct ::stat> stat_regular(const Confined& at);

// True when the regular file `at` exists; false when it is missing.
[[nodiscard]] bool regular_file_exists(const Confined& at);

// read_bytes, read_text and append_line of a confined location (same contracts).
[[nodiscard]] std::string read_bytes(const Confined& at, std::size_t max_bytes = k_unlimited);
[[nodiscard]] std::string read_text(const Confined& at, std::size_t max_bytes = k_unlimited);
void append_line(const Confined& at, std::string_view line);

// atomic_replace of a confined location: the temporary sibling is created and
// renamed over `at` inside the verified directory's descriptor.  `at`, when it
// exists, must be a regular file.  The file ends with mode `mode` (0600 unless a
// file shared with others is written).
void atomic_replace(const Confined& at, std::string_view content, mode_t mode = 0600);

// Removes the regular file `at`; false when it was already missing.
bool remove_file(const Confined& at);

// Renames the regular file `from` to `to` (replacing a regular file there), both
// through verified directory descriptors.
void rename_file(const Confined& from, const Confined& to);

// The names of the regular files in the directory `at`, in directory order; empty
// when there is no such directory (nothing there, or a file in its place).  Links
// and special files in it are left out.
[[nodiscard]] std::vector<std::string> list_regular_files(const Confined& at);

// The names of the real subdirectories of the directory `at` (links to directories
// left out), in directory order; empty as for list_regular_files.
[[nodiscard]] std::vector<std::string> list_directories(const Confined& at);

// Removes the real directory `at` and everything in it without ever following a
// link: a link inside is removed as the link it is, its target untouched.  Goes on
// past entries it cannot remove and then throws std::system_error for the first
// one.  False when `at` was already missing; UnsafePathError when it is a link.
bool remove_tree(const Confined& at);

// Removes the directory `at` when it is empty; false when it is missing or holds
// anything.  A link there is refused (UnsafePathError), not removed.
bool remove_empty_directory(const Confined& at);

// atomic_replace of `at`, unless it already is a regular file holding exactly
// `content` with mode `mode`: then nothing is written, so that readers watching
// modification times see no change.  Returns whether it wrote.  Parent
// directories are not created.
bool replace_if_changed(const Confined& at, std::string_view content, mode_t mode = 0600);

// ---- Text --------------------------------------------------------------------------

// True when `bytes` is strict UTF-8 (the rules of read_text).  Runs of ASCII are
// checked eight bytes at a time.
[[nodiscard]] bool is_valid_utf8(std::string_view bytes);

// Byte offset of the first ill-formed sequence in `bytes`, or npos when it is valid.
[[nodiscard]] std::size_t first_invalid_utf8(std::string_view bytes);

// Throws DecodeError naming `path` and the offset `base + i` of the first ill-formed
// sequence in `bytes` (found at file offset `base`), when there is one.
void require_utf8(std::string_view bytes, const std::filesystem::path& path, std::size_t base = 0);

// Python's str.splitlines() on UTF-8 `text` as a list (core::lines::for_each_line
// cuts it); the views point into `text`.  Readers of a file use core::lines.
[[nodiscard]] std::vector<std::string_view> splitlines(std::string_view text);

} // namespace kolvex::core::fs
