#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kolvex::hooks::installer {

// What installing one hook did.
enum class HookAction {
  installed,         // a new hook file was written
  chained,           // an existing hook was kept and is now run by ours
  updated,           // our hook was there in an older form and was rewritten
  already_installed, // our hook was there already; nothing changed
};

struct HookInstall {
  std::filesystem::path path; // the hook file
  HookAction action = HookAction::installed;
};

// The marker line that identifies a hook file as ours.
inline constexpr const char* HOOK_MARKER = "# kolvex post-commit hook";

// Where git looks for hooks in `repo_root`, honouring core.hooksPath (relative
// hooks paths are taken from the repository root, as git does).  Throws
// std::runtime_error when git cannot answer.
[[nodiscard]] std::filesystem::path hooks_dir(const std::filesystem::path& repo_root);

// The post-commit script: runs `kolvex sync --record-commit` and never fails or
// prints; when kolvex is missing or crashed it appends a minimal unattested line
// itself, so the commit is not lost.  A previous hook moved aside is run first.
[[nodiscard]] std::string post_commit_script();

// Installs the post-commit hook of `repo_root`.  An existing foreign hook is moved
// aside to "post-commit.kolvex-chained" and run by ours; running this twice changes
// nothing the second time.  Throws std::runtime_error when the hooks directory
// cannot be found and std::system_error when a file cannot be written.
HookInstall install_post_commit_hook(const std::filesystem::path& repo_root);

// Takes the Entire tool's lines out of the repository's git hooks: each line whose
// command is `entire hooks ...` (any path to an `entire` program).  Everything else
// in a hook stays byte for byte; a hook left with nothing but its "#!" line and
// blank lines is removed.  Returns the hook files changed.  A hooks directory git
// cannot name throws std::runtime_error.
std::vector<std::filesystem::path> cleanup_entire(const std::filesystem::path& repo_root);

// (Re)registers `kolvex session-start` in the user-level hook settings of each of
// `agents` that has them (user_hooks); absent or empty `agents`, or a local
// configuration saying "user_hooks": false (setup --no-user-hooks): nothing to do.
// Returns the number of harnesses whose settings were changed.  Throws
// std::runtime_error naming the first settings file that could not be merged into.
int _install_session_start_hook(const std::filesystem::path& repo_root,
                                const std::optional<std::vector<std::string>>& agents);

} // namespace kolvex::hooks::installer
