#pragma once

// `kolvex auth login|status|logout`: the user's API key and URL.  The key is read
// from standard input (or a prompt that does not echo), checked with one call,
// stored owner-only, and never printed: status shows its last four characters.

namespace CLI {
class App;
}

namespace kolvex::commands {

// Adds the `auth` command group to `app`.  A failed check (no key, a key the
// server rejects, a server that cannot be reached) exits 1.
void register_auth(CLI::App& app);

} // namespace kolvex::commands
