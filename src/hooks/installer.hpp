#pragma once

// Installing kolvex's git hooks the way the repository runs its hooks.  Where a hook
// manager owns them (husky, lefthook, the pre-commit framework), kolvex adds itself
// through that manager's own file as a marked entry and never renames the manager's
// scripts; otherwise it writes the hook in git's hooks directory (core.hooksPath
// honoured), or adds a marked block to the hook that is there.  Every way is
// idempotent, and a hook is one HookSpec: a second git hook goes through the same
// ways by naming it.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::hooks::installer {

// One git hook kolvex installs.
struct HookSpec {
  // git's name for it ("post-commit").
  std::string_view name;
  // The kolvex command line it runs, without "kolvex" ("sync --record-commit").
  std::string_view command;
  // Whether the hook script keeps a minimal record itself when kolvex is missing or
  // fails, so that no commit is lost (only where the hook can tell what to record).
  bool fallback_record = false;
};

// The post-commit hook: records HEAD (`kolvex sync --record-commit`).
inline constexpr HookSpec POST_COMMIT{"post-commit", "sync --record-commit", true};

// The post-rewrite hook: carries the records of amended and rebased commits to the
// commits that replaced them (`kolvex sync --record-rewrite`).
inline constexpr HookSpec POST_REWRITE{"post-rewrite", "sync --record-rewrite", false};

// The post-merge hook: records a merge commit `git merge` made, which runs no
// post-commit hook, and with notes on merges the notes a pull fetched into the
// local notes (`kolvex sync --record-merge`).
inline constexpr HookSpec POST_MERGE{"post-merge", "sync --record-merge", false};

// The pre-push hook, with notes on: pushes the notes beside the branch, merged with the
// remote's first (`kolvex notes push`).
inline constexpr HookSpec PRE_PUSH{"pre-push", "notes push", false};

// Which way a hook was installed.
enum class HookWay {
  hooks_dir,  // a script in git's hooks directory (or core.hooksPath)
  husky,      // a block in husky's user script, .husky/<hook>
  lefthook,   // a command in lefthook's configuration
  pre_commit, // a local hook in .pre-commit-config.yaml
};

// What installing one hook did.
enum class HookAction {
  installed,         // a new hook file or entry was written
  added_to_existing, // a marked block went into a hook that was there
  updated,           // kolvex's block or hook was there in an older form and was rewritten
  already_installed, // everything was in place; nothing changed
  manual,            // kolvex cannot edit the file: the user adds the lines in `manual`
};

// What the user must add by hand to a hook or manager file kolvex cannot edit (a hook
// in another language, a lefthook.json or lefthook.toml, a layout kolvex cannot edit
// safely).  Once the lines are there, setup recognises them and goes on.
struct ManualStep {
  std::string hook;           // git's name of the hook
  std::filesystem::path file; // the file to add them to
  std::string why;            // why kolvex cannot edit it ("it is a python3 script")
  std::string lines;          // the exact lines, each ending in "\n"
  bool take_out = false;      // the lines are to be taken out (setup --remove), not added

  // What to do, for the user: where, the lines indented, and what then.
  [[nodiscard]] std::string message(const std::filesystem::path& repo_root) const;
};

// Whether `text` already runs `kolvex <command>` on one of its lines: a program named
// kolvex (bare, or a path ending in "/kolvex") followed by the command's words, in a
// shell line, an argv list or a manager's "run" value; comment lines do not count.
[[nodiscard]] bool runs_kolvex(std::string_view text, std::string_view command);

// The outcome, for setup to say.
struct HookInstall {
  std::string hook;           // git's name of the hook
  std::filesystem::path path; // the file written or found (script or configuration)
  HookWay way = HookWay::hooks_dir;
  HookAction action = HookAction::installed;
  // A hook kolvex had moved aside in an earlier version, put back in place.
  std::filesystem::path restored;
  // What the manager's own installer did, or what the user must still run; empty when
  // nothing was needed.
  std::string activation;
  // True when `activation` names a step the user must still take.
  bool needs_user = false;
  // Set when `action` is manual.
  std::optional<ManualStep> manual;
  // Whether the hook names the kolvex program setup gave, to run when no kolvex is on
  // the PATH git gives hooks (only hooks private to this clone do).
  bool records_program = false;

  // One line for the user: which way was taken and what changed.
  [[nodiscard]] std::string message(const std::filesystem::path& repo_root) const;
};

// Where git looks for hooks in `repo_root`, honouring core.hooksPath (relative hooks
// paths are taken from the top of the work tree, as git does).  Throws
// std::runtime_error when git cannot answer.
[[nodiscard]] std::filesystem::path hooks_dir(const std::filesystem::path& repo_root);

// The shell lines a hook runs for `spec` (no marker lines): kolvex found on PATH, else
// `program` (an absolute path; empty: none) when it is there, and when both are
// missing or fail and `spec` asks for it, a minimal record of HEAD in the log of
// `repo_root`'s repository.
[[nodiscard]] std::string hook_body(const HookSpec& spec,
                                    const std::filesystem::path& repo_root,
                                    const std::filesystem::path& program = {});

// The one line a hook manager runs for `spec`: kolvex when it is on PATH, nothing
// (successfully) for a teammate who has not installed it.
[[nodiscard]] std::string manager_command(const HookSpec& spec);

// Installs `spec` in `repo_root` the way its hooks are run; a hook private to this
// clone also names `program` (the kolvex running setup, absolute; empty: none) for
// when kolvex is not on PATH.  The pre-commit framework is used for a hook only when
// it already runs that hook type, so that the team's own hooks keep their stages.  A
// file kolvex cannot edit gives HookAction::manual with the lines to add.  Throws
// std::runtime_error when the hooks cannot be installed at all (core.hooksPath that
// is not a directory, a damaged block), and std::system_error when a file cannot be
// written.
HookInstall install_hook(const std::filesystem::path& repo_root,
                         const HookSpec& spec,
                         const std::filesystem::path& program = {});

// One file `uninstall_hook` changed.
struct FileRemoval {
  std::filesystem::path path;
  bool deleted = false; // it held nothing but kolvex's part, so it went
};

// What taking one hook out did.
struct HookRemoval {
  std::string hook;                  // git's name of the hook
  std::vector<FileRemoval> files;    // the files changed or deleted
  std::vector<ManualStep> manual;    // lines the user must take out by hand
  std::vector<std::string> warnings; // files left alone (a link, a FIFO)
};

// Takes kolvex's part of `spec` out of every place install_hook puts it: its marked
// block in the hook of git's hooks directory and in husky's script (a file left with
// only the "#!" line kolvex wrote is deleted), its command in lefthook's YAML and its
// local hook in the pre-commit configuration (each file given back as it was before
// the entry went in), and the script `lefthook install` made for a hook lefthook no
// longer runs.  A file kolvex cannot edit (another language, lefthook's JSON or TOML,
// an entry the user changed) gives a ManualStep with the lines to take out; a link
// out of the repository or a special file is left alone with a warning.  Throws
// std::runtime_error when git cannot name the hooks directory.
HookRemoval uninstall_hook(const std::filesystem::path& repo_root, const HookSpec& spec);

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
