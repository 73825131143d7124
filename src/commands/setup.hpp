#pragma once

// `kolvex setup`: makes the repository around the working directory record its
// commits.  Each step checks what is already there first, so running setup again
// changes nothing and says so.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kolvex::commands {

// What the user asked of setup on the command line.
struct SetupOptions {
  // Agent harnesses named with --agent (canonical names); empty: detect them.
  std::vector<std::string> agents;
  // Register the per-user session-start hook and post-tool row of the configured
  // harnesses that have them (--no-user-hooks turns it off).
  bool user_hooks = true;
  // Link the repository to this existing project (--project), without asking the
  // server; absent: keep whatever project the configuration names.
  std::optional<std::int64_t> project_id;
  // Install the pre-push hook that pushes the notes (--notes; also when notes are on).
  bool notes = false;
};

// Runs every setup step for the repository at `repo_root`, each printing one line
// of what it did or found already done.  At the first step that fails it reports the
// error, which steps were done and which were not, and throws CLI::RuntimeError(1).
// A hook or manager file kolvex cannot edit does not stop the other steps: the lines
// to add by hand are printed at the end, and it throws CLI::RuntimeError(1).
void run_setup(const std::filesystem::path& repo_root, const SetupOptions& options);

// Takes out of `repo_root` (and the user's harness settings) everything setup and
// sync put there: the git hooks' blocks and hook manager entries, the .gitignore
// lines, the user-level harness hooks, the tool-server registrations, the
// instruction-file blocks and the skill files.  Each file is given back as it was
// before kolvex's edit, or deleted when kolvex created it and nothing of the user's
// is in it; one line is printed per file changed or deleted.  The recorded data in
// .kolvex/ stays (the local configuration set aside, so that nothing puts kolvex
// back by itself), unless `purge`: then .kolvex/ is deleted too.  Running it again
// changes nothing.  Throws CLI::RuntimeError(1) when something is left for the user
// to take out by hand (printed) or a file could not be changed.
void run_remove(const std::filesystem::path& repo_root, bool purge);

// The agent harnesses installed for this user, in registry order: found by their
// configuration directories in $HOME ($CLAUDE_CONFIG_DIR and $CODEX_HOME too) and,
// for aider, its program on PATH.
[[nodiscard]] std::vector<std::string> detect_installed_agents();

// Adds the `setup` subcommand (with a repeatable `--agent`) to `app`.  Outside a
// git work tree, or when a step fails, it exits 1; an unknown agent name is a
// usage error (status 2).
void register_setup(CLI::App& app);

} // namespace kolvex::commands
