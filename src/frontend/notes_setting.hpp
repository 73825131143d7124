#pragma once

// What `kolvex setup --notes` turns on: the commit hooks write each record as a git
// note under refs/notes/kolvex too.

#include <filesystem>

namespace kolvex::frontend {

// Makes the commit hooks of `repo_root` write each new record's note too (the local
// configuration's "notes"), and prints the one-time git config lines that push and
// fetch the notes with the branch.
void enable_notes(const std::filesystem::path& repo_root);

} // namespace kolvex::frontend
