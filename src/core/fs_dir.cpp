// The directory half of core/fs: listing, removing a tree and rewriting only what
// changed, all beneath a Confined root.  Kept apart from the file operations
// (fs.cpp) so that each stays readable in one sitting.
#include "core/fs.hpp"

#include <cerrno>
#include <optional>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kolvex::core::fs {

namespace {

namespace stdfs = std::filesystem;

// Deeper than any tree we write; a deeper one is refused rather than recursed into.
constexpr int k_max_depth = 64;

constexpr int k_dir_flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

[[noreturn]] void throw_errno(int err, const std::string& what)
{
  throw std::system_error(err, std::generic_category(), what);
}

enum class Kind { regular, directory, other };

struct Entry {
  std::string name;
  Kind kind;
};

Kind kind_of(int dir, const char* name, unsigned char d_type)
{
  if (d_type == DT_REG) {
    return Kind::regular;
  }
  if (d_type == DT_DIR) {
    return Kind::directory;
  }
  if (d_type != DT_UNKNOWN) {
    return Kind::other;
  }
  struct stat st {};
  if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return Kind::other;
  }
  return S_ISREG(st.st_mode) ? Kind::regular : S_ISDIR(st.st_mode) ? Kind::directory : Kind::other;
}

// Every entry of the directory open at `dir` except "." and "..", in directory
// order.  `dir` stays open and usable.
std::vector<Entry> read_entries(int dir, const stdfs::path& shown)
{
  const int copy = ::fcntl(dir, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) {
    throw_errno(errno, "cannot list " + shown.string());
  }
  DIR* stream = ::fdopendir(copy);
  if (stream == nullptr) {
    const int err = errno;
    ::close(copy);
    throw_errno(err, "cannot list " + shown.string());
  }
  ::rewinddir(stream); // the copy shares its offset with `dir`
  std::vector<Entry> entries;
  errno = 0;
  while (const dirent* entry = ::readdir(stream)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      entries.push_back({std::string(name), kind_of(dir, entry->d_name, entry->d_type)});
    }
    errno = 0; // readdir reports an error only through errno
  }
  const int err = errno;
  ::closedir(stream);
  if (err != 0) {
    throw_errno(err, "cannot list " + shown.string());
  }
  return entries;
}

// The real directory `at`, or nullopt when nothing is there (nor, with
// `file_is_missing`, when a file stands in its place).
std::optional<Fd> open_directory_if_present(const Confined& at, bool file_is_missing = false)
{
  try {
    return open_directory(at);
  } catch (const UnsafePathError&) {
    throw;
  } catch (const std::system_error& e) {
    if (e.code() == std::errc::no_such_file_or_directory ||
        (file_is_missing && e.code() == std::errc::not_a_directory)) {
      return std::nullopt;
    }
    throw;
  }
}

// The names of the entries of kind `kind` in the directory `at`; empty when there
// is no such directory (nothing there, or a file in its place).
std::vector<std::string> list_of_kind(const Confined& at, Kind kind)
{
  const std::optional<Fd> dir = open_directory_if_present(at, true);
  if (!dir) {
    return {};
  }
  std::vector<std::string> names;
  for (Entry& entry : read_entries(dir->get(), at.full())) {
    if (entry.kind == kind) {
      names.push_back(std::move(entry.name));
    }
  }
  return names;
}

// Empties the directory open at `dir`, never following a link: a link is removed
// as the entry it is.  Goes on past failures and returns the first one's errno.
int remove_contents(int dir, const stdfs::path& shown, int depth)
{
  if (depth > k_max_depth) {
    return ELOOP;
  }
  int first_error = 0;
  const auto note = [&](int err) {
    if (first_error == 0) {
      first_error = err;
    }
  };
  std::vector<Entry> entries;
  try {
    entries = read_entries(dir, shown);
  } catch (const std::system_error& e) {
    return e.code().value();
  }
  for (const Entry& entry : entries) {
    if (entry.kind == Kind::directory) {
      const Fd sub(::openat(dir, entry.name.c_str(), k_dir_flags));
      if (sub.get() < 0) {
        note(errno);
        continue;
      }
      note(remove_contents(sub.get(), shown / entry.name, depth + 1));
      if (::unlinkat(dir, entry.name.c_str(), AT_REMOVEDIR) != 0) {
        note(errno);
      }
    } else if (::unlinkat(dir, entry.name.c_str(), 0) != 0 && errno != ENOENT) {
      note(errno);
    }
  }
  return first_error;
}

} // namespace

std::vector<std::string> list_regular_files(const Confined& at)
{
  return list_of_kind(at, Kind::regular);
}

std::vector<std::string> list_directories(const Confined& at)
{
  return list_of_kind(at, Kind::directory);
}

bool remove_tree(const Confined& at)
{
  if (at.rel.empty()) {
    throw_errno(EINVAL, "refusing to remove the root " + at.root.string());
  }
  const std::optional<Fd> target = open_directory_if_present(at);
  if (!target) {
    return false;
  }
  const Fd parent = open_directory(at.parent());
  int err = remove_contents(target->get(), at.full(), 0);
  const std::string name = at.rel.filename().string();
  if (::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR) != 0 && err == 0) {
    err = errno;
  }
  if (err != 0) {
    throw_errno(err, "cannot remove all of " + at.full().string());
  }
  return true;
}

bool remove_empty_directory(const Confined& at)
{
  if (at.rel.empty()) {
    throw_errno(EINVAL, "refusing to remove the root " + at.root.string());
  }
  const std::optional<Fd> parent = open_directory_if_present(at.parent());
  if (!parent) {
    return false;
  }
  const std::string name = at.rel.filename().string();
  struct stat st {};
  if (::fstatat(parent->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) {
      return false;
    }
    throw_errno(errno, "cannot stat " + at.full().string());
  }
  if (S_ISLNK(st.st_mode)) {
    throw UnsafePathError(at.full(), ELOOP, "a symbolic link");
  }
  if (!S_ISDIR(st.st_mode)) {
    if (S_ISREG(st.st_mode)) {
      throw_errno(ENOTDIR, "not a directory: " + at.full().string());
    }
    throw UnsafePathError(at.full(), EINVAL, "not a regular file or directory");
  }
  if (::unlinkat(parent->get(), name.c_str(), AT_REMOVEDIR) == 0) {
    return true;
  }
  if (errno == ENOENT || errno == ENOTEMPTY || errno == EEXIST) {
    return false;
  }
  throw_errno(errno, "cannot remove " + at.full().string());
}

bool replace_if_changed(const Confined& at, std::string_view content, mode_t mode)
{
  const std::optional<struct ::stat> st = stat_regular(at);
  if (st && static_cast<std::size_t>(st->st_size) == content.size() &&
      (st->st_mode & 07777) == mode && read_bytes(at) == content) {
    return false;
  }
  atomic_replace(at, content, mode);
  return true;
}

} // namespace kolvex::core::fs
