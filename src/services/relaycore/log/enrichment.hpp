#pragma once

// What only the machine knows, added to a pending attestation after the commit:
// whether the cached rule count can be trusted, the developer's git identity, the
// agent's name, provider and session, and the session's telemetry.

#include "contracts/agent_adapter.hpp"
#include "core/value.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::services::relaycore::log {

// Enriches the attestation map `parsed` in place for the repository `repo_root`.
// Every step is best-effort: a failure is logged at debug level and the map keeps
// what it had before that step.  Never throws.
void _enrich_attestation(core::Map& parsed, const std::filesystem::path& repo_root);

// The telemetry map of session `session_id` (nullopt: the adapter's current
// session) from `adapter`'s own store: the adapter's entries, then "source" =
// `source` and "agent_runtime" = the adapter's name.  nullopt when the adapter has
// none or fails.  Never throws.
[[nodiscard]] std::optional<core::Map>
_adapter_telemetry(const contracts::AgentAdapter& adapter,
                   const std::filesystem::path& repo_root,
                   const std::optional<std::string>& session_id,
                   std::string_view source);

} // namespace kolvex::services::relaycore::log
