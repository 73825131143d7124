#include "services/relaycore/cache/cache_writers.hpp"

#include "agents/registry.hpp"
#include "contracts/api_client.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/yaml.hpp"
#include "display/repr.hpp"
#include "hooks/agent_guidance.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"

#include <algorithm>
#include <array>
#include <set>
#include <system_error>

namespace kolvex::services::relaycore::cache {

namespace {

namespace stdfs = std::filesystem;
namespace guidance = hooks::agent_guidance;

const core::logging::Logger k_log("kolvex.relaycore.cache.cache_writers");

constexpr std::string_view k_md = ".md";
constexpr std::array<std::string_view, 2> k_doc_scopes = {"system", "project"};

// The debug line of a step that must not fail the refresh.
void non_fatal(std::string_view what, const std::exception& e)
{
  k_log.debug_exception(std::string(what) + " (non-fatal): " + e.what(), e);
}

// `map`[`key`] when the key is there (whatever its value, null included), else
// `fallback`: dict.get(key, fallback).
core::Value get_or(const core::Value& map, std::string_view key, core::Value fallback)
{
  const core::Value* value = map.get(key);
  return value != nullptr ? *value : std::move(fallback);
}

std::size_t character_count(std::string_view utf8)
{
  return static_cast<std::size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// The stem of "<stem>.md", or nullopt for any other name.
std::optional<std::string> md_stem(const std::string& file)
{
  if (file.size() <= k_md.size() || !file.ends_with(k_md)) {
    return std::nullopt;
  }
  return file.substr(0, file.size() - k_md.size());
}

// The rules file as a map to merge into: empty when missing, empty, not YAML or
// not a map (a broken cache is repaired rather than failing every refresh).
core::Map existing_rules(const core::fs::Confined& at)
{
  if (!core::fs::stat_regular(at)) {
    return {};
  }
  core::Value parsed;
  try {
    parsed = core::yaml::load(core::fs::read_text(at));
  } catch (const core::yaml::YamlError& e) {
    k_log.debug_exception("Corrupt kolvexrules.yaml, overwriting", e);
    return {};
  } catch (const core::fs::DecodeError& e) {
    k_log.debug_exception("Corrupt kolvexrules.yaml, overwriting", e);
    return {};
  }
  if (parsed.is_map()) {
    return std::move(parsed.as_map());
  }
  if (!parsed.is_null()) {
    k_log.debug("Corrupt kolvexrules.yaml, overwriting: it holds a " +
                std::string(parsed.type_name()));
  }
  return {};
}

void write_scope(const core::fs::Confined& scope_dir, const core::List& docs)
{
  std::vector<std::pair<std::string, std::string>> valid_docs;
  for (const core::Value& doc : docs) {
    const core::Value* content = doc.get("content");
    if (!doc.is_map() || content == nullptr || !content->is_string()) {
      continue;
    }
    try {
      std::string slug = guidance::_validate_slug(get_or(doc, "slug", {}), "custom doc");
      valid_docs.emplace_back(std::move(slug), content->as_string());
    } catch (const guidance::UnsafeSlugError& e) {
      k_log.warning(std::string("Skipping custom doc with unsafe slug: ") + e.what());
    }
  }
  if (valid_docs.empty()) {
    return; // every doc was unusable: what is there stays
  }
  core::fs::create_directories(scope_dir);
  std::set<std::string> served;
  for (const auto& [slug, content] : valid_docs) {
    const std::string file = slug + std::string(k_md);
    core::fs::replace_if_changed(scope_dir / file, content);
    served.insert(file);
  }
  // The directory holds exactly the served docs; unchanged ones are not rewritten.
  for (const std::string& file : core::fs::list_regular_files(scope_dir)) {
    if (!served.contains(file)) {
      core::fs::remove_file(scope_dir / file);
    }
  }
  for (const std::string& dir : core::fs::list_directories(scope_dir)) {
    try {
      core::fs::remove_tree(scope_dir / dir);
    } catch (const std::system_error& e) {
      k_log.debug_exception("Removing " + dir + " from the custom docs failed (best-effort)", e);
    }
  }
}

} // namespace

core::Map _constraints_section(const core::Value& rules)
{
  core::Map section;
  if (!rules.is_list()) {
    return section;
  }
  for (const core::Value& rule : rules.as_list()) {
    const auto type = rule.get_string("ruleType");
    if (!type || (*type != "constraint" && *type != "guardrail")) {
      continue;
    }
    const core::Value name_value = get_or(rule, "name", "unknown");
    const std::string name = name_value.is_string() ? name_value.as_string()
                             : name_value.is_null() ? std::string("unknown")
                                                    : display::repr::python_repr(name_value);
    const core::Value* check = rule.get("checkCondition");
    section.set(
        name,
        core::Map{
            {"description", get_or(rule, "description", "")},
            {"status", get_or(rule, "status", "active")},
            {"condition",
             check != nullptr && core::truthy(*check) ? *check
                                                      : get_or(rule, "invariantCondition", "{}")},
            {"inherited", get_or(rule, "inheritedFromSystem", false)},
        });
  }
  return section;
}

void _write_rules_file(const core::fs::Confined& cache_dir, const core::Value& guardrails)
{
  const core::fs::Confined at = cache_dir / "kolvexrules.yaml";
  const core::Value* rules = guardrails.get("rules");
  if (!core::truthy(guardrails) || rules == nullptr || !core::truthy(*rules)) {
    if (!core::fs::regular_file_exists(at)) {
      core::fs::atomic_replace(at, "");
    }
    return;
  }
  const core::Map served = _constraints_section(*rules);
  if (served.empty()) {
    return;
  }
  core::Map file = existing_rules(at);
  core::Value* constraints = file.find("constraints");
  if (constraints == nullptr || !constraints->is_map()) {
    file.set("constraints", core::Map{});
    constraints = file.find("constraints");
  }
  for (const auto& [name, entry] : served) {
    constraints->as_map().set(name, entry);
  }
  core::fs::replace_if_changed(at, core::yaml::dump(core::Value(std::move(file))));
}

core::List _skills_list(const core::Value& skills_result)
{
  if (skills_result.is_list()) {
    return skills_result.as_list();
  }
  if (const core::Value* skills = skills_result.get("skills");
      skills != nullptr && skills->is_list()) {
    return skills->as_list();
  }
  return {};
}

void _write_skills_cache(const paths::RepositoryHandle& repo,
                         const stdfs::path& cache_dir,
                         const core::List& skills_list) noexcept
{
  if (skills_list.empty()) {
    return;
  }
  try {
    const core::fs::Confined dir = repo.at(paths::skills_dir(repo.root()));
    core::fs::create_directories(dir);
    std::set<std::string> cached_slugs;
    for (const core::Value& skill : skills_list) {
      std::string slug;
      try {
        slug = guidance::_extract_slug(skill);
      } catch (const guidance::UnsafeSlugError& e) {
        k_log.warning(std::string("Skipping skill with unsafe slug during sync cache: ") +
                      e.what());
        continue;
      }
      cached_slugs.insert(slug);
      const std::string text = guidance::_build_skill_file(skill);
      if (character_count(text) > k_max_skill_chars) {
        continue; // its slug stays cached, so an older file of it survives the pruning
      }
      core::fs::replace_if_changed(dir / (slug + std::string(k_md)), text);
    }
    for (const std::string& file : core::fs::list_regular_files(dir)) {
      if (const auto stem = md_stem(file); stem && !cached_slugs.contains(*stem)) {
        core::fs::remove_file(dir / file);
      }
    }
    core::fs::remove_file(repo.at(cache_dir / "skills.json"));
  } catch (const std::exception& e) {
    non_fatal("Skills cache failed", e);
  }
}

void _write_custom_docs(const paths::RepositoryHandle& repo,
                        const std::optional<core::Value>& custom_docs) noexcept
{
  try {
    if (!custom_docs || !custom_docs->is_map()) {
      k_log.debug("Custom docs write failed (non-fatal): no custom docs answer");
      return;
    }
    const core::fs::Confined root = repo.at(paths::guidance_dir(repo.root()));
    for (const std::string_view scope : k_doc_scopes) {
      const core::fs::Confined scope_dir = root / std::string(scope);
      const core::Value* docs = custom_docs->get(scope);
      if (docs == nullptr || !core::truthy(*docs)) {
        try {
          core::fs::remove_tree(scope_dir);
        } catch (const std::system_error& e) {
          k_log.debug_exception(
              "Removing the " + std::string(scope) + " custom docs failed (best-effort)", e);
        }
        continue;
      }
      if (docs->is_list()) {
        write_scope(scope_dir, docs->as_list());
      }
    }
  } catch (const std::exception& e) {
    non_fatal("Custom docs write failed", e);
  }
}

void _write_memories_file(const paths::RepositoryHandle& repo,
                          const std::string& project_id,
                          const std::string& api_key,
                          const std::string& api_url) noexcept
{
  try {
    const core::Value result =
        contracts::api_client().fetch_memories({.url = api_url, .key = api_key}, project_id);
    core::Value memories = result;
    if (result.is_map()) {
      const core::Value* chosen = result.get("memories");
      if (chosen == nullptr || !core::truthy(*chosen)) {
        chosen = result.get("data");
      }
      memories = chosen != nullptr && core::truthy(*chosen) ? *chosen : core::Value(core::List{});
    }
    if (!memories.is_list() || memories.as_list().empty()) {
      return; // an existing file stays
    }
    const core::fs::Confined at = repo.at(paths::memories_file(repo.root()));
    core::fs::create_directories(at.parent());
    core::fs::replace_if_changed(at, core::json::dump_indented(memories, 2));
  } catch (const std::exception& e) {
    non_fatal("Memory fetch/cache failed", e);
  }
}

std::vector<const contracts::AgentAdapter*>
_distribution_adapters(const paths::RepositoryHandle& repo) noexcept
{
  const contracts::AgentAdapter* active_adapter = nullptr;
  try {
    active_adapter = agents::detect_active_agent();
  } catch (const std::exception& e) {
    non_fatal("Active adapter detection failed", e);
  }
  std::vector<const contracts::AgentAdapter*> adapters;
  try {
    for (const std::string& name :
         services::shared::configured_agents(services::shared::load_local_config(repo))) {
      const contracts::AgentAdapter* adapter = agents::get_adapter_by_name(name);
      if (adapter != nullptr &&
          std::find(adapters.begin(), adapters.end(), adapter) == adapters.end()) {
        adapters.push_back(adapter);
      }
    }
  } catch (const std::exception& e) {
    non_fatal("Config-based adapter lookup failed", e);
  }
  if (adapters.empty() && active_adapter != nullptr) {
    adapters.push_back(active_adapter);
  }
  return adapters;
}

} // namespace kolvex::services::relaycore::cache
