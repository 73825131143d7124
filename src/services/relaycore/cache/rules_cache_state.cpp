#include "services/relaycore/cache/rules_cache_state.hpp"

#include "core/fs.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"

#include <system_error>

namespace kolvex::services::relaycore::cache {

namespace {

// The map under `key`, an empty map standing in for a missing or empty entry (as
// `data.get(key) or {}` would); nullptr when the entry is something else.
const core::Value* nested_map(const core::Value& parent, std::string_view key)
{
  static const core::Value empty_map{core::Map{}};
  const auto* value = parent.get(key);
  if (value == nullptr || !core::truthy(*value)) {
    return &empty_map;
  }
  return value->is_map() ? value : nullptr;
}

std::optional<std::int64_t> recorded_status(const core::fs::Confined& config_path)
{
  core::Value config;
  try {
    config = core::yaml::load(core::fs::read_text(config_path));
  } catch (const std::system_error&) {
    return std::nullopt;
  } catch (const core::fs::DecodeError&) {
    return std::nullopt;
  } catch (const core::yaml::YamlError&) {
    return std::nullopt;
  }
  if (!config.is_map()) {
    return std::nullopt;
  }
  const auto* cache = nested_map(config, "cache");
  const auto* statuses = cache != nullptr ? nested_map(*cache, "fetch_status") : nullptr;
  const auto* status = statuses != nullptr ? statuses->get("kolvexrules") : nullptr;
  // A boolean is no HTTP status, and nor is an integer beyond 64 bits.
  if (status == nullptr || status->kind() != core::Value::Kind::integer) {
    return std::nullopt;
  }
  return status->as_int();
}

} // namespace

bool RulesCacheState::fetch_failed() const
{
  return last_fetch_status.has_value() && *last_fetch_status != 200 && *last_fetch_status != 304;
}

bool RulesCacheState::trustworthy() const
{
  return count.has_value() && !unreadable && !fetch_failed();
}

std::string RulesCacheState::describe() const
{
  if (unreadable) {
    return "unreadable \u2014 run 'kolvex sync' to repair the cache";
  }
  if (!count && fetch_failed()) {
    return "unavailable \u2014 last sync could not reach kolvex";
  }
  if (!count) {
    return "not cached \u2014 run 'kolvex sync'";
  }
  if (fetch_failed()) {
    return std::to_string(*count) + " (stale \u2014 last sync could not reach kolvex)";
  }
  return std::to_string(*count);
}

RulesCacheState read_rules_cache_state(const paths::DirectoryHandle& cache)
{
  const auto status = recorded_status(cache.at("config.yaml"));
  const core::fs::Confined rules_path = cache.at("kolvexrules.yaml");
  try {
    if (!core::fs::stat_regular(rules_path)) {
      return {std::nullopt, status};
    }
  } catch (const std::system_error&) {
    // A directory on the way that may not be searched, a link, a special file.
    return {std::nullopt, status, true};
  }
  core::Value rules;
  try {
    rules = core::yaml::load(core::fs::read_text(rules_path));
  } catch (const std::system_error&) {
    return {std::nullopt, status, true};
  } catch (const core::fs::DecodeError&) {
    return {std::nullopt, status, true};
  } catch (const core::yaml::YamlError&) {
    return {std::nullopt, status, true};
  }
  // An empty file (what the refresh writes when the server has no rules) loads as
  // null.  Only null and an empty map mean "no rules": any other non-map, even an
  // empty list, is a broken file.
  if (rules.is_null() || (rules.is_map() && rules.as_map().empty())) {
    return {0, status};
  }
  if (!rules.is_map()) {
    return {std::nullopt, status, true};
  }
  std::int64_t count = 0;
  for (auto section : _RULE_SECTIONS) {
    if (const auto* entries = rules.get(section); entries != nullptr && entries->is_map()) {
      count += static_cast<std::int64_t>(entries->as_map().size());
    }
  }
  return {count, status};
}

} // namespace kolvex::services::relaycore::cache
