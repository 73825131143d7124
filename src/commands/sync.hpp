#pragma once

// `kolvex sync`: links the repository to its project, uploads the unsent records
// and refreshes the context cache; `kolvex sync --record-commit` is the git
// post-commit hook's way of recording the new commit.

#include "display/output.hpp"
#include "services/relaycore/log/pending.hpp"
#include "services/relaycore/sync/project_resolution.hpp"
#include "services/relaycore/sync/sync_run.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

namespace kolvex::commands {

// Adds the `sync` subcommand (with `--record-commit` and `--event`) to `app`.
// `--record-commit` always exits 0 and prints nothing on stdout, so that it can
// never fail or clutter a commit.  A full sync exits 1 when it reached no project
// or a batch failed.
void register_sync(CLI::App& app);

// `kolvex sync --record-commit` exactly as the post-commit hook writes it, run
// without building the command line's parser first: every commit pays for this
// start.  Never throws; the caller exits 0.
void record_commit_from_hook();

} // namespace kolvex::commands
