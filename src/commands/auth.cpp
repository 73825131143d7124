#include "commands/auth.hpp"

#include "contracts/api_client.hpp"
#include "core/errors.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "display/output.hpp"
#include "frontend/credentials.hpp"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

#include <termios.h>
#include <unistd.h>

namespace kolvex::commands {

namespace {

namespace output = display::output;
namespace credentials = services::credentials;

// A whoami answer's user, or "" when it names none.
std::string user_of(const core::Value& answer)
{
  const core::Value* user = answer.get("user");
  return user != nullptr && user->is_string() ? user->as_string() : std::string();
}

// The key from standard input: its first line, trimmed.  On a terminal the line is
// typed at a prompt (on stderr) with echo off, and echo is restored whatever happens.
std::string read_key()
{
  std::string line;
  if (::isatty(STDIN_FILENO) == 1) {
    termios saved{};
    const bool have_terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (have_terminal) {
      termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::cerr << "kolvex API key: " << std::flush;
    std::getline(std::cin, line);
    if (have_terminal) {
      (void)::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    }
    std::cerr << "\n";
  } else {
    std::getline(std::cin, line);
  }
  return std::string(core::text::trim(line));
}

[[noreturn]] void fail(const std::string& message)
{
  output::error(message);
  throw CLI::RuntimeError(1);
}

// Asks the server who the key is; exits 1 with a reason when it cannot say.  The
// messages name the URL and the error, which the client keeps free of the key.
core::Value check_key(const std::string& key, const std::string& url)
{
  try {
    const auto budget = contracts::network_budget(30.0);
    return contracts::api_client().whoami({.url = url, .key = key});
  } catch (const contracts::AgentApiError& e) {
    if (e.code() == contracts::CODE_KEY_REJECTED) {
      fail("The server at " + url + " rejected this API key.");
    }
    fail("The server at " + url + " refused the key check: " + e.what());
  } catch (const std::exception& e) {
    core::logging::Logger("kolvex.commands.auth").debug_exception("whoami failed", e);
    fail("Could not reach kolvex at " + url + " (" + core::errors::short_name(e) + ": " + e.what() +
         ")");
  }
}

void login(const std::string& flag_key, const std::string& flag_url)
{
  std::string key = std::string(core::text::trim(flag_key));
  if (!key.empty()) {
    output::warning("--api-key leaves the key in your shell history; pipe it to `kolvex auth "
                    "login` on standard input instead.");
  } else {
    key = read_key();
  }
  if (key.empty()) {
    fail("No API key given: type it at the prompt or pipe it to `kolvex auth login`.");
  }
  std::string url = std::string(core::text::trim(flag_url));
  if (url.empty()) {
    url = credentials::load_credentials().api_url;
  }
  while (url.size() > 1 && url.ends_with('/')) {
    url.pop_back();
  }
  const std::string user = user_of(check_key(key, url));
  try {
    credentials::save_credentials(key, url);
  } catch (const credentials::UnsafeCredentialsError& e) {
    fail(std::string("Could not store the credentials: ") + e.what());
  } catch (const std::exception& e) {
    fail("Could not store the credentials in " + credentials::credentials_path().string() + " (" +
         core::errors::short_name(e) + ")");
  }
  output::success("Signed in" + (user.empty() ? std::string() : " as " + user) + " at " + url +
                  " (key " + credentials::masked_key(key) + ", stored in " +
                  credentials::credentials_path().string() + ")");
  const char* env_key = std::getenv("KOLVEX_API_KEY");
  if (env_key != nullptr && *env_key != '\0') {
    output::warning("KOLVEX_API_KEY is set and is used instead of the stored key.");
  }
}

void status()
{
  const credentials::Credentials found = credentials::load_credentials();
  if (!found.problem.empty()) {
    output::warning("Ignored " + found.problem + ".");
  }
  output::info("API URL: " + found.api_url + " (from " + found.url_source + ")");
  if (found.api_key.empty()) {
    fail("Not signed in: run `kolvex auth login`.");
  }
  output::info("API key: " + credentials::masked_key(found.api_key) + " (from " + found.key_source +
               ")");
  const std::string user = user_of(check_key(found.api_key, found.api_url));
  output::success("Signed in" + (user.empty() ? std::string() : " as " + user));
}

void logout()
{
  const auto path = credentials::credentials_path();
  if (credentials::remove_credentials()) {
    output::success("Signed out: removed " + path.string());
  } else {
    output::info("No stored credentials (" + path.string() + " does not exist)");
  }
  const char* env_key = std::getenv("KOLVEX_API_KEY");
  if (env_key != nullptr && *env_key != '\0') {
    output::warning("KOLVEX_API_KEY is still set in this environment and is still used.");
  }
}

} // namespace

void register_auth(CLI::App& app)
{
  CLI::App* auth = app.add_subcommand(
      "auth", "Sign in to kolvex: store, show or remove the API key this user syncs with.");
  auth->require_subcommand(1);

  auto key = std::make_shared<std::string>();
  auto url = std::make_shared<std::string>();
  CLI::App* login_command = auth->add_subcommand(
      "login",
      "Check an API key with the server and store it, owner-only, in "
      "$XDG_CONFIG_HOME/kolvex/credentials.yaml (~/.config/kolvex/ by default). The key is read "
      "from standard input, or typed at a prompt that does not echo.");
  login_command->add_option("--api-url",
                            *url,
                            "The kolvex API to sign in to (default: the one "
                            "stored, KOLVEX_API_URL, or " +
                                std::string(credentials::DEFAULT_API_URL) + ")");
  login_command->add_option("--api-key",
                            *key,
                            "The key itself. Discouraged: it stays in your shell history; pipe "
                            "it on standard input instead.");
  login_command->callback([key, url] { login(*key, *url); });

  auth->add_subcommand("status",
                       "Show which API URL and which key (its last 4 characters) are in use and "
                       "where each comes from, and check the key with the server. "
                       "KOLVEX_API_KEY and KOLVEX_API_URL override the stored ones.")
      ->callback(status);
  auth->add_subcommand("logout", "Remove the stored credentials.")->callback(logout);
}

} // namespace kolvex::commands
