// The kolvex front end: parses the command line and hands each command to its module.
#include "version.hpp"

#include <CLI/CLI.hpp>

#include <string>

int main(int argc, char** argv)
{
  CLI::App app{"kolvex keeps a provable record of the commits AI coding agents make, and keeps "
               "those agents supplied with the project's rules and context."};
  app.name("kolvex");
  app.set_version_flag("--version", "kolvex " + std::string(kolvex::version()));
  app.require_subcommand(0, 1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  if (app.get_subcommands().empty()) {
    std::cout << app.help();
  }
  return 0;
}
