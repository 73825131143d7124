#include "commands/session_start.hpp"

#include "agents/registry.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "frontend/hook_output.hpp"
#include "frontend/hook_payload.hpp"
#include "paths.hpp"
#include "repository_handle.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/cache/session_summary.hpp"
#include "services/relaycore/capture/catch_up.hpp"
#include "services/relaycore/sync/notes.hpp"
#include "services/repository.hpp"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace kolvex::commands {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger k_log("kolvex.commands.session_start");

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

// The text a harness expects on stdout: its structured form of the summary when it
// has one (Claude Code, `agent` naming it in any spelling), else the summary itself.
std::string session_start_output(const std::string& summary,
                                 const std::optional<std::string>& agent)
{
  if (agent) {
    if (const auto structured = render_hook_context(*agent, "SessionStart", summary)) {
      return core::json::dump(*structured);
    }
  }
  return summary;
}

void run_session_start(const std::optional<std::string>& agent)
{
  const core::Value payload = services::shared::read_hook_payload();
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
  // kolvex was never set up it must leave no trace.  Records that cannot be opened
  // (a link where .kolvex belongs) are not set up either.
  std::optional<paths::RepositoryHandle> repo;
  try {
    repo.emplace(root);
  } catch (const std::system_error& e) {
    k_log.debug_exception("records not opened; nothing to do", e);
    return;
  }
  if (!services::shared::local_config_exists(*repo)) {
    return;
  }

  const auto recorded = services::relaycore::capture::catch_up_commits(root);
  k_log.debug("catch-up handed " + std::to_string(recorded.size()) + " commit(s) to capture");
  std::vector<std::string> written;
  for (const auto& result : recorded) {
    if (result.written) {
      written.push_back(result.commit);
    }
  }
  services::relaycore::sync::write_notes_if_enabled(root, written);

  core::Value project_id;
  try {
    const auto config = services::shared::load_local_config(*repo);
    if (const auto* id = config.find("project_id")) {
      project_id = *id;
    }
  } catch (const std::exception& e) {
    k_log.debug_exception("reading the local configuration failed (best-effort)", e);
  }
  const std::string summary = services::relaycore::cache::generate_session_summary(
      repo->platform(), project_id, agent_name(agent));
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
