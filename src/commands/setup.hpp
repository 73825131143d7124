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

// The agent harnesses installed for this user, in registry order: found by their
// configuration directories in $HOME ($CLAUDE_CONFIG_DIR and $CODEX_HOME too) and,
// for aider, its program on PATH.
[[nodiscard]] std::vector<std::string> detect_installed_agents();

// Adds the `setup` subcommand (with a repeatable `--agent`) to `app`.  Outside a
// git work tree, or when a step fails, it exits 1; an unknown agent name is a
// usage error (status 2).
void register_setup(CLI::App& app);

} // namespace kolvex::commands
