// The kolvex front end: parses the command line and hands each command to its module.
#include "commands/attest/attest.hpp"
#include "commands/auth.hpp"
#include "commands/command_line.hpp"
#include "commands/log.hpp"
#include "commands/mcp.hpp"
#include "commands/notes.hpp"
#include "commands/session_start.hpp"
#include "commands/setup.hpp"
#include "commands/status.hpp"
#include "commands/sync.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"
#include "display/output.hpp"
#include "protocol/http_loader.hpp"
#include "version.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

// Exit status of a command line the parser refused (unknown option, bad choice),
// kept apart from 1, the status of a command that ran and failed a check.
constexpr int k_usage_error = 2;

// The command line's exit status once the command ran: a command whose output did
// not reach stdout (a full disk, /dev/full) failed, whatever else it did.  A hook's
// stdout belongs to the harness, and a hook always exits 0.
int with_stdout_checked(int status)
{
  const int err = kolvex::display::output::stdout_error();
  if (err == 0 || kolvex::core::logging::on_hook_path()) {
    return status;
  }
  kolvex::display::output::error(std::string("kolvex: cannot write to standard output: ") +
                                 std::strerror(err));
  return status == 0 ? 1 : status;
}

int run(int argc, char** argv)
{
  kolvex::protocol::install_http_client(); // libcurl is opened only by a network call
  // The post-commit hook's own words skip the parser: every commit waits for them.
  if (argc == 3 && std::strcmp(argv[1], "sync") == 0 &&
      std::strcmp(argv[2], "--record-commit") == 0) {
    kolvex::commands::record_commit_from_hook();
    return 0;
  }
  CLI::App app{"kolvex keeps a provable record of the commits AI coding agents make, and keeps "
               "those agents supplied with the project's rules and context."};
  app.name("kolvex");
  // Set before the commands are added, which take their formatter from here.
  app.formatter(
      std::make_shared<kolvex::commands::WrappingFormatter>(kolvex::commands::help_width()));
  app.set_version_flag("--version", "kolvex " + std::string(kolvex::version()));
  app.require_subcommand(0, 1);
  kolvex::commands::attest::register_attest(app);
  kolvex::commands::register_setup(app);
  kolvex::commands::register_status(app);
  kolvex::commands::register_log(app);
  kolvex::commands::register_notes(app);
  kolvex::commands::register_sync(app);
  kolvex::commands::register_auth(app);
  kolvex::commands::register_mcp(app);
  kolvex::commands::register_session_start(app);

  // Commands run inside parse(): they report a failed check by throwing
  // CLI::RuntimeError with their exit status, and anything else they throw is an
  // error the user must see as one line, not as a crash.
  std::vector<std::string> args = kolvex::commands::spell_out_empty_values(
      app, std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  // CLI11 takes the words last first.
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
  } catch (const CLI::RuntimeError& e) {
    return e.get_exit_code();
  } catch (const CLI::ParseError& e) {
    const int status = app.exit(e);
    return status == 0 ? 0 : k_usage_error;
  } catch (const kolvex::core::fs::UnsafePathError& e) {
    // Its warning, naming the path, was shown when it was refused.
    kolvex::core::logging::Logger("kolvex").debug_exception("command failed", e);
    return 1;
  } catch (const std::exception& e) {
    kolvex::core::logging::Logger("kolvex").debug_exception("command failed", e);
    kolvex::display::output::error(e.what());
    return 1;
  }
  if (app.get_subcommands().empty()) {
    std::cout << app.help();
  }
  return 0;
}

} // namespace

int main(int argc, char** argv)
{
  return with_stdout_checked(run(argc, argv));
}
