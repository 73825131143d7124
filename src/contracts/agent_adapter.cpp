#include "contracts/agent_adapter.hpp"

#include <algorithm>

namespace kolvex::contracts {

AgentAdapter::~AgentAdapter() = default;

std::optional<std::string> AgentAdapter::marker_session_id() const
{
  return std::nullopt;
}

CommitClaims AgentAdapter::commit_claims(const std::filesystem::path&,
                                         const std::vector<std::string>&,
                                         std::optional<double>,
                                         const CommitTimes&) const
{
  return {};
}

SessionMatches AgentAdapter::sessions_mentioning(const std::filesystem::path& repo_root,
                                                 const std::vector<std::string>& shas,
                                                 std::optional<double> since,
                                                 const CommitTimes& commit_times) const
{
  SessionMatches matches;
  for (const auto& [sha, claims] : commit_claims(repo_root, shas, since, commit_times)) {
    for (const auto& claim : claims) {
      // A claim without a session (aider's mark) names the harness alone: no id.
      if (claim.session_id.empty()) {
        continue;
      }
      auto& sessions = matches[sha];
      if (std::find(sessions.begin(), sessions.end(), claim.session_id) == sessions.end()) {
        sessions.push_back(claim.session_id);
      }
    }
  }
  return matches;
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
