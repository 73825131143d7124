#pragma once

// `kolvex notes write [<range>]`: each recorded commit's record as a git note under
// refs/notes/kolvex, so that the records travel with the repository; and what
// `kolvex setup --notes` turns on.

#include <filesystem>

namespace CLI {
class App;
}

namespace kolvex::commands {

// Adds the `notes` command (with `notes write`) to `app`.
void register_notes(CLI::App& app);

// Makes the commit hooks of `repo_root` write each new record's note too (the local
// configuration's "notes"), and prints the one-time git config lines that push and
// fetch the notes with the branch.
void enable_notes(const std::filesystem::path& repo_root);

// Whether the commit hooks of `repo_root` write notes.  Never throws.
[[nodiscard]] bool notes_enabled(const std::filesystem::path& repo_root);

} // namespace kolvex::commands
