#pragma once

// `kolvex status`: the state of the attestation log, in words or as JSON.  Read only:
// it works in any git repository, set up for kolvex or not, and never writes.

namespace CLI {
class App;
}

namespace kolvex::commands {

// Adds the `status` subcommand (with `--json`) to `app`.  Outside a git work tree it
// fails with exit status 1; a log that is not UTF-8 also ends it with status 1.
void register_status(CLI::App& app);

} // namespace kolvex::commands
