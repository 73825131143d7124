#include "contracts/agent_adapter.hpp"

namespace kolvex::contracts {

AgentAdapter::~AgentAdapter() = default;

bool AgentAdapter::npx_covers_skills(const std::filesystem::path&) const
{
  throw NotAvailableError("npx skill coverage is not available for " + name() + " in this build");
}

void AgentAdapter::write_skills(const std::filesystem::path&, const core::List&) const
{
  throw NotAvailableError("writing skills is not available for " + name() + " in this build");
}

} // namespace kolvex::contracts
