#pragma once

// The few lines an agent sees at the start of a session: which project and agent
// are active, how much context is cached, whether the rules can be trusted, whether
// the cache is fresh and whether records wait for upload.  Built from files alone:
// no network, no writes.

#include "core/value.hpp"
#include "repository_handle.hpp"

#include <filesystem>
#include <optional>
#include <string>

namespace kolvex::services::relaycore::cache {

// A cache whose state or rules file was last written longer ago than this is stale.
inline constexpr double _STALE_THRESHOLD_SECONDS = 86400;

// The summary of the cache directory `cache` (a repository's `.platform`): lines joined by "\n", no
// trailing newline.  `project_id` (int or string; 0 and "" count as none) and `agent_name` are only
// shown.  Never throws for missing, unreadable or malformed files.
[[nodiscard]] std::string generate_session_summary(const paths::DirectoryHandle& cache,
                                                   const core::Value& project_id,
                                                   const std::optional<std::string>& agent_name);

// generate_session_summary with the current time fixed at `now` (Unix seconds), so
// that the staleness boundary can be checked exactly.
[[nodiscard]] std::string generate_session_summary_at(const paths::DirectoryHandle& cache,
                                                      const core::Value& project_id,
                                                      const std::optional<std::string>& agent_name,
                                                      double now);

} // namespace kolvex::services::relaycore::cache
