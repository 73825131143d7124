#pragma once

// How many project rules are cached, and whether that number can be trusted: "0"
// may mean "no rules" or "never synced", "file corrupt", "last fetch refused".

#include "repository_handle.hpp"

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kolvex::services::relaycore::cache {

// The top-level sections of kolvexrules.yaml whose entries are rules, in order.
inline constexpr std::array<std::string_view, 6> _RULE_SECTIONS = {
    "principles", "adrs", "checks", "invariants", "constraints", "guardrails"};

// What the cache says about the rules.  Treated as immutable once read.
struct RulesCacheState {
  // Cached rules; absent when the rules file is missing or unreadable.
  std::optional<std::int64_t> count;
  // HTTP status of the last rules fetch as the cache writer recorded it.
  std::optional<std::int64_t> last_fetch_status;
  // The rules file exists but could not be read or parsed as a map.
  bool unreadable = false;

  // A fetch is known to have failed: a recorded status other than 200 and 304.
  [[nodiscard]] bool fetch_failed() const;
  // `count` reflects the server's rules: present, readable, last fetch not failed.
  [[nodiscard]] bool trustworthy() const;
  // One line naming the case, e.g. "12", "not cached — run 'kolvex sync'".
  [[nodiscard]] std::string describe() const;
};

// Reads "config.yaml" (status at cache -> fetch_status -> kolvexrules) and
// "kolvexrules.yaml" from `cache_dir`.  Never throws for a missing, unreadable or
// malformed file: each degrades to a state.
[[nodiscard]] RulesCacheState read_rules_cache_state(const paths::DirectoryHandle& cache);

} // namespace kolvex::services::relaycore::cache
