#pragma once

// Files of the user's or the team's that kolvex edits in place outside .kolvex/
// (hook scripts, hook manager configurations): the one way to reach them.
//
// A file in the repository is reached from the repository root with every
// component checked (core::fs::Confined): a clone is outside input and can ship a
// link anywhere on the way (the file, its directory, a directory above).  A link
// that stays inside the repository is followed (a hook linked to a script the
// project keeps); one that leads out is refused.  A file outside the repository
// (a core.hooksPath of the user's own, the hooks of a linked worktree's main
// repository) is laid out by the user: links there are followed.

#include "core/fs.hpp"

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::hooks::user_files {

// The file a write to `path`, which lies outside any repository (a harness's
// settings kept in a dotfiles repository), replaces: its links are the user's and
// are followed, so that they survive the rename.  Throws std::system_error (ELOOP)
// on a link loop.
[[nodiscard]] std::filesystem::path write_target(const std::filesystem::path& path);

// Where `path` is read and written.  Throws core::fs::UnsafePathError (ELOOP, naming
// the link, warning once) when a link on the way in the repository leads out of
// it, and std::system_error (ELOOP) on a link loop outside it.
[[nodiscard]] core::fs::Confined locate(const std::filesystem::path& repo_root,
                                        const std::filesystem::path& path);

// The permission bits of the regular file `at`, or nullopt when it is missing.
// Throws as core::fs::stat_regular.
[[nodiscard]] std::optional<mode_t> mode_of(const core::fs::Confined& at);

// Replaces `at` with `content` atomically, with permission bits `mode`, creating
// its missing directories.  Throws std::system_error.
void write_file(const core::fs::Confined& at, std::string_view content, mode_t mode);

} // namespace kolvex::hooks::user_files
