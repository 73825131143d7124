#pragma once

// `kolvex session-start`: what a harness's session-start hook runs.  It is
// registered per user, so it fires in every repository the harness opens: where
// kolvex was never set up it does nothing and creates nothing; elsewhere it records
// the commits no hook saw and prints the session summary for the agent.

namespace CLI {
class App;
}

namespace kolvex::commands {

// Adds the `session-start` subcommand (with `--agent`) to `app`.  It always exits 0;
// diagnostics go to stderr, and only when KOLVEX_DEBUG is on.
void register_session_start(CLI::App& app);

} // namespace kolvex::commands
