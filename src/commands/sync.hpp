#pragma once

// `kolvex sync`: for now only `kolvex sync --record-commit`, the git post-commit
// hook's way of recording the new commit.  Uploading comes with the upload step.

namespace CLI {
class App;
}

namespace kolvex::commands {

// Adds the `sync` subcommand (with `--record-commit` and `--event`) to `app`.
// `--record-commit` always exits 0 and prints nothing on stdout, so that it can
// never fail or clutter a commit; `sync` without it is a usage error (status 2).
void register_sync(CLI::App& app);

} // namespace kolvex::commands
