#include "agents/simple_adapters.hpp"

#include "agents/transcript_io.hpp"

namespace kolvex::agents {

std::optional<std::string> SessionlessAdapter::get_session_id(const std::filesystem::path&) const
{
  return std::nullopt;
}

std::optional<contracts::AgentTelemetry>
SessionlessAdapter::get_telemetry_for_session(const std::filesystem::path&,
                                              const std::optional<std::string>&) const
{
  return std::nullopt;
}

contracts::SessionMatches
SessionlessAdapter::sessions_mentioning(const std::filesystem::path&,
                                        const std::vector<std::string>&,
                                        std::optional<double>,
                                        const contracts::CommitTimes&) const
{
  return {};
}

bool SessionlessAdapter::npx_covers_skills(const std::filesystem::path&) const
{
  return false;
}

void SessionlessAdapter::write_skills(const std::filesystem::path&, const core::List&) const {}

bool CursorAdapter::is_active() const
{
  return env_text("CURSOR_AGENT") == "1" || env_text("CURSOR_EXTENSION_HOST_ROLE") == "agent-exec";
}

} // namespace kolvex::agents
