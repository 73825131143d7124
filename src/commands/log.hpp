#pragma once

// `kolvex log`: which commits of a range an agent made and whether they were
// attested, read from the attestation log in one pass (and, for commits it does not
// hold, from the records carried as git notes).  `--check` makes it a gate for
// pre-push hooks and CI.

namespace CLI {
class App;
}

namespace kolvex::commands {

// Adds the `log` command to `app`.
void register_log(CLI::App& app);

} // namespace kolvex::commands
