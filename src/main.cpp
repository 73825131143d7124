// The kolvex front end: parses the command line and hands each command to its module.
#include "commands/attest/attest.hpp"
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

#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {

// Exit status of a command line the parser refused (unknown option, bad choice),
// kept apart from 1, the status of a command that ran and failed a check.
constexpr int k_usage_error = 2;

// CLI11 reads "--name=" as a value left out, but for a user (and for a shell that
// expands an empty variable in --name="$VAR") it is an empty value, which our commands
// tell apart from an absent one.  Such words are handed over as "--name" "".
std::vector<std::string> with_empty_values_spelled_out(int argc, char** argv)
{
  std::vector<std::string> args;
  bool options_ended = false;
  for (int i = 0; i < argc; ++i) {
    std::string arg(argv[i]);
    options_ended = options_ended || arg == "--";
    if (i > 0 && !options_ended && arg.size() > 3 && arg.starts_with("--") && arg.back() == '=' &&
        arg.find('=') == arg.size() - 1) {
      arg.pop_back();
      args.push_back(std::move(arg));
      args.emplace_back();
    } else {
      args.push_back(std::move(arg));
    }
  }
  return args;
}

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
  CLI::App app{"kolvex keeps a provable record of the commits AI coding agents make, and keeps "
               "those agents supplied with the project's rules and context."};
  app.name("kolvex");
  app.set_version_flag("--version", "kolvex " + std::string(kolvex::version()));
  app.require_subcommand(0, 1);
  kolvex::protocol::install_http_client(); // libcurl is opened only by a network call
  kolvex::commands::attest::register_attest(app);
  kolvex::commands::register_setup(app);
  kolvex::commands::register_status(app);
  kolvex::commands::register_sync(app);
  kolvex::commands::register_session_start(app);

  // Commands run inside parse(): they report a failed check by throwing
  // CLI::RuntimeError with their exit status, and anything else they throw is an
  // error the user must see as one line, not as a crash.
  auto args = with_empty_values_spelled_out(argc, argv);
  std::vector<char*> words;
  words.reserve(args.size());
  for (auto& arg : args) {
    words.push_back(arg.data());
  }
  try {
    app.parse(static_cast<int>(words.size()), words.data());
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
