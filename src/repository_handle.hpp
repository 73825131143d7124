#pragma once

// A repository's record directories, opened and checked once.  Opening a file by
// its path walks every directory from the root again (each one opened without
// following a link and checked); a hook that touches a dozen files, or a first sync
// that reads thousands of archives, pays that walk for each.  The handle holds the
// records root and its `.kolvex/.platform` as directory descriptors, reached once
// through that same walk, and gives every location beneath them in the confined form
// that starts at the held descriptor: a file then costs one openat(2) per component
// below `.platform`, still without following a link.
//
// A handle is for one piece of work (a hook, a command, one tool call): a directory
// replaced after it was opened is not seen, so a long-lived process opens a new one
// per request.

#include "core/fs.hpp"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::paths {

// A directory opened once, whose regular files are read by name.
class DirectoryHandle {
public:
  // No directory: every file in it is missing.
  DirectoryHandle() = default;
  DirectoryHandle(std::filesystem::path path, core::fs::Fd fd);

  // The directory `dir` by a checked walk from its anchor (paths::confined); a
  // handle without one when it is missing.  Throws core::fs::UnsafePathError for a
  // link or a file on the way, std::system_error for other failures.
  [[nodiscard]] static DirectoryHandle open(const std::filesystem::path& dir);

  [[nodiscard]] const std::filesystem::path& path() const { return m_path; }
  [[nodiscard]] bool is_open() const { return m_fd && m_fd->get() >= 0; }

  // `rel` beneath this directory, confined and starting at its descriptor (by name
  // when the directory is not open, so that a write can still create it).
  [[nodiscard]] core::fs::Confined at(const std::filesystem::path& rel) const;

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
  std::shared_ptr<const core::fs::Fd> m_fd;
};

class RepositoryHandle {
public:
  // Opens the records of `repo_root` (a linked worktree's are its main
  // worktree's): the records root as given, `.kolvex/.platform` beneath it without
  // a link on the way.  A missing `.platform` leaves the handle without one, and
  // locations beneath it are then walked from the records root.  Throws
  // core::fs::UnsafePathError for a link or a file where a directory belongs,
  // std::system_error for other failures.
  explicit RepositoryHandle(const std::filesystem::path& repo_root);

  // The work tree the handle was opened for, as given: what git is asked in and
  // what the location helpers (paths::log_jsonl ...) derive from.
  [[nodiscard]] const std::filesystem::path& root() const { return m_root; }
  // The directory above `.kolvex` (the main worktree's for a linked worktree).
  [[nodiscard]] const DirectoryHandle& records_root() const { return m_root_dir; }
  [[nodiscard]] const DirectoryHandle& platform() const { return m_platform; }

  // `p`, a location under this repository as the location helpers give it, in the
  // confined form: starting at `.platform` or the records root when it lies beneath
  // them, else exactly as paths::confined(`p`) (a linked worktree's own files).
  [[nodiscard]] core::fs::Confined at(const std::filesystem::path& p) const;

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

} // namespace kolvex::paths
