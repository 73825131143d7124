#include "commands/attest/attest.hpp"

#include <CLI/CLI.hpp>

namespace kolvex::commands::attest {

void register_attest(CLI::App& /*app*/)
{
  // The group arrives with the attest command itself.
}

} // namespace kolvex::commands::attest
