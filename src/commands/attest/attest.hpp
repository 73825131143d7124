#pragma once

namespace CLI {
class App;
}

namespace kolvex::commands::attest {

// Adds the `attest` command group to the front end's `app`.
void register_attest(CLI::App& app);

} // namespace kolvex::commands::attest
