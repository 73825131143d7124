#include "services/relaycore/sync/sync_run.hpp"

#include "core/fs.hpp"
#include "core/logging.hpp"
#include "hooks/installer.hpp"
#include "hooks/scripts.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"
#include "services/mcp_registration.hpp"
#include "services/relaycore/cache/refresh.hpp"
#include "services/relaycore/log/pending.hpp"

#include <functional>
#include <string_view>
#include <system_error>

namespace kolvex::services::relaycore::sync {

namespace {

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.sync");
  return instance;
}

// One self-heal: its own guard, so that a failure here never stops the next.
void self_heal(std::string_view skipped, const std::function<void()>& body)
{
  try {
    body();
  } catch (const std::exception& e) {
    logger().debug_exception(skipped, e);
  } catch (...) {
    logger().debug(skipped);
  }
}

// The configured agents; an empty list counts as none.  Throws when the
// configuration cannot be read as a map.
std::optional<std::vector<std::string>> configured_agents(const paths::RepositoryHandle& repo)
{
  auto names = shared::configured_agents(shared::load_local_config(repo));
  if (names.empty()) {
    return std::nullopt;
  }
  return names;
}

bool names_project(const core::Value& project_id)
{
  if (project_id.is_null()) {
    return false;
  }
  if (project_id.is_string()) {
    return !project_id.as_string().empty();
  }
  return core::truthy(project_id);
}

} // namespace

void _refresh_local_static_files(const paths::RepositoryHandle& repo)
{
  try {
    const std::string content = hooks::scripts::example_attestation();
    const core::fs::Confined at = repo.at(paths::example_attestation(repo.root()));
    core::fs::create_directories(at.parent());
    // A file for people and agents to read, not a private one.
    core::fs::atomic_replace(at, content, 0644);
  } catch (const std::system_error& e) {
    logger().debug_exception("Failed to refresh example-attestation.yaml", e);
  }
}

SyncRun run_sync_detailed(const paths::RepositoryHandle& repo,
                          const std::string& api_key,
                          const std::string& api_url,
                          const core::Value& project_id)
{
  const std::filesystem::path& repo_root = repo.root();
  SyncRun run;
  run.result.set("attestations_uploaded", core::Value(false));
  run.result.set("cache_refreshed", core::Value(false));

  (void)log::process_pending_attestation(repo);
  _refresh_local_static_files(repo);

  self_heal("Entire hook strip skipped (best-effort)",
            [&] { (void)hooks::installer::cleanup_entire(repo_root); });
  self_heal("Gitignore self-heal skipped (best-effort)", [&] {
    std::error_code ec;
    const bool existed = std::filesystem::exists(repo_root / ".gitignore", ec);
    if (!shared::ensure_gitignore(repo_root).empty()) {
      run.changed_files.push_back({".gitignore", !existed});
    }
  });
  self_heal("Agent hook self-heal skipped (best-effort)", [&] {
    (void)hooks::installer::_install_session_start_hook(repo_root, configured_agents(repo));
  });
  self_heal("Agent MCP self-heal skipped (best-effort)", [&] {
    for (const auto& change :
         mcp_registration::install_mcp_for_agents(repo_root, configured_agents(repo))) {
      if (change.action == mcp_registration::McpAction::added) {
        run.changed_files.push_back({change.file.lexically_relative(repo_root), change.created});
      } else if (!change.error.empty()) {
        run.file_warnings.push_back(change.error);
      }
    }
  });

  if (!names_project(project_id) || api_key.empty()) {
    return run;
  }

  run.upload =
      upload_attestations(api_key, api_url, repo, paths::attestations_dir(repo_root), project_id);
  run.result.set("attestations_uploaded", core::Value(run.upload->ok));

  // The refresh runs whatever the upload's outcome: the context is useful even
  // when the records have to wait.
  const cache::RefreshResult refreshed =
      cache::refresh_context_cache_detailed(api_key, api_url, repo, project_id);
  run.result.set("cache_refreshed", core::Value(refreshed.ok));
  run.cache_warnings = refreshed.warnings;
  run.cache_log = refreshed.log_path;
  run.changed_files.insert(
      run.changed_files.end(), refreshed.changed_files.begin(), refreshed.changed_files.end());
  if (!refreshed.ok) {
    run.cache_failure = "failed at " + refreshed.stage.value_or("an unknown stage") +
                        (refreshed.error ? " (" + *refreshed.error + ")" : std::string());
  }
  return run;
}

core::Map run_sync(const paths::RepositoryHandle& repo,
                   const std::string& api_key,
                   const std::string& api_url,
                   const core::Value& project_id)
{
  return run_sync_detailed(repo, api_key, api_url, project_id).result;
}

} // namespace kolvex::services::relaycore::sync
