#pragma once

// The bulk of the context cache: what the refresh fetched is written here, under
// the cache directory, each file by atomic replace and only when its bytes change,
// so that an unchanged project rewrites nothing.
//
//   context.yaml, system-context.yaml   the project's and its systems' context
//   kolvexstate.yaml                    the declarative state (entity "kolvexstate")
//   kolvexrules.yaml                    the rules (entity "kolvexrules"), every section
//                                       but "constraints", which the refresh's own
//                                       rule writer keeps from the guardrails
//   specs/<domain>.md                   one file per spec domain
//   .kolvex/docs/<name>.md              one file per canonical doc
//   config.yaml: cache.etags            entity tags the next refresh sends back
//   config.yaml: cache.fetch_status     each entity's last HTTP status

#include "core/value.hpp"
#include "repository_handle.hpp"

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace kolvex::services::context_cache {

// What write_cache_files writes besides the context, named as the refresh passes it.
struct CacheFiles {
  // Written as system-context.yaml whatever its shape.
  core::Value system_context{};
  // Entity ("kolvexstate", "kolvexrules") -> body; null when the server said 304 or
  // the fetch failed: that file is left as it is.
  core::Map declarative_state{};
  // Domain -> spec text, every domain a safe slug; nullopt: no authoritative set
  // this time, the cached specs stay.
  std::optional<std::map<std::string, std::string>> specs{};
  // Canonical doc name -> text; nullopt as for `specs`.
  std::optional<std::map<std::string, std::string>> canonical_docs{};
  // Entity tags to store (an empty or missing one keeps the stored tag).
  core::Map etags{};
  // Entity -> HTTP status of this refresh's fetch.
  core::Map fetch_statuses{};
};

// Writes `context` and `files` into the cache of `repo` (see the layout above).
// A non-empty specs set also removes the files of spec domains it no longer holds.
// An entity body that is not a map is skipped with a warning.  The stored entity
// tags are merged, and a tag whose file has gone is dropped so that the next refresh
// fetches it whole.  Throws std::system_error when a file cannot be written and
// services::shared::ConfigError when the local configuration is unreadable (it is
// then not overwritten).
void write_cache_files(const paths::RepositoryHandle& repo,
                       const core::Value& context,
                       const CacheFiles& files);

// The rules file's text for the served rules entity `served` (a map), keeping the
// "constraints" section of `existing` (the current file's text, nullopt when there is
// none; unreadable or not a map counts as none).  Served sections come first, in the
// server's order, then "constraints".  Throws core::yaml::YamlError only for values
// YAML cannot hold.
[[nodiscard]] std::string _merged_rules_text(const std::optional<std::string>& existing,
                                             const core::Map& served);

// Forgets every recorded attempt of the read path to fill an empty cache (the map
// at cache.hydrate_attempts of the local configuration), so that after a successful
// refresh the next gap is tried again at once.  Returns how many were forgotten.
// Never throws: an unreadable configuration forgets nothing.
int clear_all_hydrate_attempts(const paths::RepositoryHandle& repo) noexcept;

} // namespace kolvex::services::context_cache
