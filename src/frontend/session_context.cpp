#include "frontend/session_context.hpp"

#include "core/logging.hpp"
#include "frontend/credentials.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/sync/project_resolution.hpp"

namespace kolvex::services::session_context {

Session resolve_session(const std::filesystem::path& repo_root)
{
  Session session;
  const credentials::Credentials found = credentials::load_credentials();
  if (!found.api_key.empty()) {
    session.api_key = found.api_key;
  }
  session.api_url = found.api_url;
  session.key_source = found.key_source;
  session.project_id = relaycore::sync::linked_project_id(repo_root);
  try {
    const core::Map config = shared::load_local_config(repo_root);
    const core::Value* team = config.find("team_id");
    if (team != nullptr && team->kind() == core::Value::Kind::integer) {
      session.team_id = team->as_int();
    }
  } catch (const std::exception& e) {
    // No team named: the resolve lets the server choose, as for a new repository.
    core::logging::Logger("kolvex.services.session_context")
        .debug_exception("The configured team could not be read", e);
  }
  return session;
}

} // namespace kolvex::services::session_context
