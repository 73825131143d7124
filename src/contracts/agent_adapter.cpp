#include "contracts/agent_adapter.hpp"

namespace kolvex::contracts {

AgentAdapter::~AgentAdapter() = default;

std::optional<std::string> AgentAdapter::marker_session_id() const
{
  return std::nullopt;
}

CommitClaims AgentAdapter::commit_claims(const std::filesystem::path& repo_root,
                                         const std::vector<std::string>& shas,
                                         std::optional<double> since,
                                         const CommitTimes& commit_times) const
{
  CommitClaims claims;
  for (auto& [sha, sessions] : sessions_mentioning(repo_root, shas, since, commit_times)) {
    auto& of_sha = claims[sha];
    for (auto& session : sessions) {
      of_sha.push_back({std::move(session), ClaimKind::timing});
    }
  }
  return claims;
}

bool AgentAdapter::marks_commit(const std::filesystem::path&, const std::string&) const
{
  return false;
}

bool AgentAdapter::npx_covers_skills(const std::filesystem::path&) const
{
  throw NotAvailableError("npx skill coverage is not available for " + name() + " in this build");
}

void AgentAdapter::write_skills(const std::filesystem::path&, const core::List&) const
{
  throw NotAvailableError("writing skills is not available for " + name() + " in this build");
}

} // namespace kolvex::contracts
