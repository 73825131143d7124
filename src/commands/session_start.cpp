#include "commands/session_start.hpp"

#include "agents/registry.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/cache/session_summary.hpp"
#include "services/relaycore/capture/catch_up.hpp"
#include "services/shared.hpp"

#include <CLI/CLI.hpp>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace kolvex::commands {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger k_log("kolvex.commands.session_start");

// A harness writes its payload and closes the pipe at once; a caller that leaves
// stdin open without writing must not stall the session start for long.
constexpr int k_payload_wait_ms = 500;
constexpr std::size_t k_payload_max_bytes = 1 << 20;

// The JSON payload on stdin (session_id, cwd, ...), or null when stdin is a
// terminal, empty, not JSON, too large or not finished in time.
core::Value read_payload()
{
  if (::isatty(STDIN_FILENO) != 0) {
    return {};
  }
  std::string input;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(k_payload_wait_ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return {};
    }
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0 || (fd.revents & POLLNVAL) != 0) {
      return {};
    }
    char buffer[8192];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return {};
    }
    if (n == 0) {
      break;
    }
    input.append(buffer, static_cast<std::size_t>(n));
    if (input.size() > k_payload_max_bytes) {
      return {};
    }
  }
  if (core::text::trim(input).empty()) {
    return {};
  }
  try {
    return core::json::parse(input);
  } catch (const std::exception&) {
    return {};
  }
}

// The agent named on the record of this session: `--agent` in its canonical
// spelling when known (as given otherwise), else the harness running this process.
std::optional<std::string> agent_name(const std::optional<std::string>& option)
{
  if (option && !core::text::trim(*option).empty()) {
    if (const auto* adapter = agents::get_adapter_by_name(*option)) {
      return adapter->name();
    }
    return std::string(core::text::trim(*option));
  }
  try {
    if (const auto* adapter = agents::detect_active_agent()) {
      return adapter->name();
    }
  } catch (const std::exception& e) {
    k_log.debug_exception("detecting the harness failed (best-effort)", e);
  }
  return std::nullopt;
}

// The text a harness expects on stdout: for Claude Code (`agent` naming it in any
// spelling) one line of JSON carrying the summary as the SessionStart hook's
// additional context; for anything else the summary itself.
std::string session_start_output(const std::string& summary,
                                 const std::optional<std::string>& agent)
{
  if (agent && agents::normalize_agent_name(*agent) == "claude-code") {
    const core::Map output{
        {"hookSpecificOutput",
         core::Map{{"hookEventName", "SessionStart"}, {"additionalContext", summary}}}};
    return core::json::dump(core::Value(output));
  }
  return summary;
}

void run_session_start(const std::optional<std::string>& agent)
{
  const core::Value payload = read_payload();
  std::optional<stdfs::path> start;
  if (const auto cwd = payload.get_string("cwd"); cwd && !cwd->empty()) {
    start = stdfs::path(*cwd);
  }
  stdfs::path root;
  try {
    root = services::shared::get_repo_root(start);
  } catch (const std::exception& e) {
    k_log.debug_exception("not in a repository; nothing to do", e);
    return;
  }
  // Registered per user, this runs in every repository the harness opens; where
  // kolvex was never set up it must leave no trace.
  if (!services::shared::local_config_exists(root)) {
    return;
  }

  const auto recorded = services::relaycore::capture::catch_up_commits(root);
  k_log.debug("catch-up handed " + std::to_string(recorded.size()) + " commit(s) to capture");

  core::Value project_id;
  try {
    const auto config = services::shared::load_local_config(root);
    if (const auto* id = config.find("project_id")) {
      project_id = *id;
    }
  } catch (const std::exception& e) {
    k_log.debug_exception("reading the local configuration failed (best-effort)", e);
  }
  const std::string summary = services::relaycore::cache::generate_session_summary(
      paths::platform_dir(root), project_id, agent_name(agent));
  const std::string out = session_start_output(summary, agent) + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

} // namespace

void register_session_start(CLI::App& app)
{
  auto agent = std::make_shared<std::string>();
  CLI::App* command = app.add_subcommand(
      "session-start",
      "Run by an agent harness when a session starts: record the commits no hook saw, then "
      "print a summary of the cached project context. Does nothing in a repository that was "
      "never set up for kolvex. Always exits 0.");
  command->add_option("--agent",
                      *agent,
                      "The harness whose hook runs this (e.g. claude-code); selects the output "
                      "form it expects. Detected from the environment when left out.");
  // A hook must never fail a session start over a flag from a newer setup.
  command->allow_extras();
  command->callback([agent, command] {
    core::logging::set_hook_path(true);
    // A harness that stops reading must not turn into a non-zero exit.
    std::signal(SIGPIPE, SIG_IGN);
    try {
      run_session_start(command->count("--agent") > 0 ? std::optional<std::string>(*agent)
                                                      : std::nullopt);
    } catch (const std::exception& e) {
      k_log.debug_exception("session-start failed (best-effort)", e);
    }
  });
}

} // namespace kolvex::commands
