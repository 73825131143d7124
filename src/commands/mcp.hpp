#pragma once

// `kolvex mcp`: the agent tool server.  It speaks MCP (JSON-RPC 2.0, one message
// per line on stdin and stdout) and offers three tools: `sync`, `status` and
// `session_summary`, each run in the repository around the working directory.

#include <string>

namespace CLI {
class App;
}

namespace kolvex::commands {

// Serves MCP on `in_fd` and `out_fd` until end of input.  Anything else the
// process writes to stdout meanwhile goes to stderr, so the protocol stream holds
// nothing but protocol.  Returns 0.
int serve_mcp(int in_fd, int out_fd);

// Adds the `mcp` subcommand to `app`.
void register_mcp(CLI::App& app);

} // namespace kolvex::commands
