#pragma once

// What the refresh writes itself after the bulk cache writer: the rules file's
// "constraints" section, the skills cache, the custom docs, the memories file, and
// the choice of agents that receive skills.  The rules step fails the refresh when
// it fails; every other step logs its failure and lets the refresh go on.

#include "contracts/agent_adapter.hpp"
#include "core/fs.hpp"
#include "core/value.hpp"
#include "repository_handle.hpp"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kolvex::services::relaycore::cache {

// A skill whose file text is longer than this many characters is not cached; an
// older file of its slug stays.
inline constexpr std::size_t k_max_skill_chars = 100'000;

// The "constraints" section built from the guardrails answer's "rules" list: for
// each rule of "ruleType" "constraint" or "guardrail", in order, its "name"
// (default "unknown"; a later rule of the same name wins) -> {"description"
// (default ""), "status" (default "active"), "condition" ("checkCondition" when
// non-empty, else "invariantCondition", default "{}"), "inherited"
// ("inheritedFromSystem", default false)}.  Other rows are skipped.
[[nodiscard]] core::Map _constraints_section(const core::Value& rules);

// Merges the constraints of `guardrails` (the guardrails answer; null when its
// fetch failed) into `cache_dir`/kolvexrules.yaml, keeping every other section and
// every constraint not served this time.  With no rules served the file is left as
// it is, or created empty when missing.  A file that is not YAML or not a map is
// rewritten from the served constraints alone.  Throws std::system_error (and
// core::fs::DecodeError) when the file cannot be read or written.
void _write_rules_file(const core::fs::Confined& cache_dir, const core::Value& guardrails);

// The skills of a skills answer: the answer itself when it is a list, its "skills"
// list when it is a map, else none.
[[nodiscard]] core::List _skills_list(const core::Value& skills_result);

// Caches `skills_list` in the skills directory, one "<slug>.md" SKILL.md text per
// skill with a safe slug, removing the files of slugs no longer served and the
// legacy skills.json.  An empty list changes nothing.  Never throws.
void _write_skills_cache(const paths::RepositoryHandle& repo,
                         const std::filesystem::path& cache_dir,
                         const core::List& skills_list) noexcept;

// Makes guidance/system and guidance/project hold exactly the docs `custom_docs`
// serves for that scope ("<slug>.md", the content unchanged): a scope served no
// docs loses its directory; a scope whose docs were all unusable keeps it as it
// was.  `custom_docs` absent (its fetch failed) changes nothing.  Never throws.
void _write_custom_docs(const paths::RepositoryHandle& repo,
                        const std::optional<core::Value>& custom_docs) noexcept;

// Fetches the project's memories and, when there are any, writes them as JSON
// (indent 2) to the memories file.  Never throws.
void _write_memories_file(const paths::RepositoryHandle& repo,
                          const std::string& project_id,
                          const std::string& api_key,
                          const std::string& api_url) noexcept;

// The adapters that receive skills: those of the agents the local configuration
// lists (unknown names skipped, each adapter once), else the adapter of the harness
// running this process, else none.  Never throws.
[[nodiscard]] std::vector<const contracts::AgentAdapter*>
_distribution_adapters(const paths::RepositoryHandle& repo) noexcept;

} // namespace kolvex::services::relaycore::cache
