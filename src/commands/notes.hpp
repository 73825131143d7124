#pragma once

// `kolvex notes write [<range>]`: each recorded commit's record as a git note under
// refs/notes/kolvex, so that the records travel with the repository.

namespace CLI {
class App;
}

namespace kolvex::commands {

// Adds the `notes` command (with `notes write`) to `app`.
void register_notes(CLI::App& app);

} // namespace kolvex::commands
