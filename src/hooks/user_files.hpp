#pragma once

// Files of the user's or the team's that setup edits in place (hook scripts, hook
// manager configurations, harness settings): written whole, atomically, with their
// permissions kept and through the links they may be.

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace kolvex::hooks::user_files {

// The file a write to `path` must replace: a symbolic link (a settings file kept in a
// dotfiles repository, a hook linked to a script in the repository) is followed, so
// the link survives the rename.  Throws std::system_error (ELOOP) on a link loop.
[[nodiscard]] std::filesystem::path write_target(const std::filesystem::path& path);

// The permission bits of `path`.  Throws std::system_error when it cannot be stat'ed.
[[nodiscard]] mode_t mode_of(const std::filesystem::path& path);

// Replaces `path` with `content` atomically, then gives it permission bits `mode`.
// Throws std::system_error.
void write_file(const std::filesystem::path& path, const std::string& content, mode_t mode);

} // namespace kolvex::hooks::user_files
