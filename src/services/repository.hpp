#pragma once

// Where the repository is and what is staged in it, as git reports them.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace kolvex::services::shared {

// The current directory (or the one asked about) is not inside a git work tree.
// The front end reports what() as one error line and exits with status 1.
class NotARepository : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A git command whose answer we cannot do without failed; what() names the command
// and git's own first line of complaint.
class GitCommandError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The top of the work tree containing `cwd` (the process's working directory when
// absent), as git reports it.  Throws NotARepository outside a work tree (inside a
// bare repository or .git too) and std::system_error when git cannot be started.
[[nodiscard]] std::filesystem::path
get_repo_root(const std::optional<std::filesystem::path>& cwd = std::nullopt);

// Lower-case hex SHA-256 of the bytes `git diff --staged` prints at the root of the
// repository containing `cwd`: what `git diff --staged | shasum -a 256` prints
// there.  With nothing staged, the hash of empty input.  Throws NotARepository,
// GitCommandError when git diff fails, std::system_error when git cannot start.
[[nodiscard]] std::string
get_staged_diff_hash(const std::optional<std::filesystem::path>& cwd = std::nullopt);

} // namespace kolvex::services::shared
