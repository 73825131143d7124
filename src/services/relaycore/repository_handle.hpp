#pragma once

// A repository's record directories, opened and checked once.  Opening a file by
// its path walks every directory from the root again (each one opened without
// following a link and checked); on a path that reads thousands of files, such as
// the archives of a first sync, that walk is most of the cost.  The handle holds
// the repository root and its `.kolvex/.platform` as directory descriptors, reached
// once through that same walk, and opens what lies beneath them relative to those
// descriptors, so a file costs one openat(2), still without following a link.

#include "core/fs.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::services::relaycore {

// A directory opened once, whose regular files are read by name.
class DirectoryHandle {
public:
  // No directory: every file in it is missing.
  DirectoryHandle() = default;
  DirectoryHandle(std::filesystem::path path, core::fs::Fd fd);
  DirectoryHandle(DirectoryHandle&&) noexcept = default;
  DirectoryHandle& operator=(DirectoryHandle&&) noexcept = default;

  // The directory `dir` by a checked walk from its anchor (paths::confined); a
  // handle without one when it is missing.  Throws core::fs::UnsafePathError for a
  // link or a file on the way, std::system_error for other failures.
  [[nodiscard]] static DirectoryHandle open(const std::filesystem::path& dir);

  [[nodiscard]] const std::filesystem::path& path() const { return m_path; }
  [[nodiscard]] bool is_open() const { return m_fd.get() >= 0; }

  // The bytes of the regular file `name` (one path component) in this directory,
  // with one openat(2) that follows no link and cannot block on a FIFO; nullopt
  // when it is missing.  Throws core::fs::UnsafePathError for a link or a special
  // file there (or a name that is not one component), std::system_error EFBIG past
  // `max_bytes`, and std::system_error for any other failure.
  [[nodiscard]] std::optional<std::string>
  read_file(std::string_view name, std::size_t max_bytes = core::fs::k_unlimited) const;

  // The directory `name` (one component, or "." for this one again) in this
  // directory, opened without following a link; a handle without one when it is
  // missing.  Throws core::fs::UnsafePathError for a link or a file in its place.
  [[nodiscard]] DirectoryHandle subdirectory(std::string_view name) const;

private:
  std::filesystem::path m_path;
  core::fs::Fd m_fd{-1};
};

class RepositoryHandle {
public:
  // Opens the records of `repo_root` (a linked worktree's are its main
  // worktree's): the root as given, `.kolvex/.platform` beneath it without a link
  // on the way.  A missing `.platform` leaves the handle without one: everything
  // beneath it is missing.  Throws core::fs::UnsafePathError for a link or a file
  // where a directory belongs, std::system_error for other failures.
  explicit RepositoryHandle(const std::filesystem::path& repo_root);

  [[nodiscard]] const std::filesystem::path& root() const { return m_root; }
  // The directory above `.kolvex` (the main worktree's for a linked worktree).
  [[nodiscard]] const DirectoryHandle& records_root() const { return m_root_dir; }
  [[nodiscard]] const DirectoryHandle& platform() const { return m_platform; }

  // The directory `dir`, opened relative to `.platform` when it lies beneath it
  // (one openat per component), else by a checked walk from its own anchor.  A
  // missing directory gives a handle without one.  Errors as the constructor's.
  [[nodiscard]] DirectoryHandle open_directory(const std::filesystem::path& dir) const;

private:
  std::filesystem::path m_root;
  std::filesystem::path m_platform_path;
  DirectoryHandle m_root_dir;
  DirectoryHandle m_platform;
};

} // namespace kolvex::services::relaycore
