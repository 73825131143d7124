#include "services/relaycore/cache/refresh.hpp"

#include "core/errors.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/sha256.hpp"
#include "core/yaml.hpp"
#include "display/repr.hpp"
#include "hooks/agent_guidance.hpp"
#include "paths.hpp"
#include "services/context_cache.hpp"
#include "services/ledger_service.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/cache/cache_writers.hpp"
#include "services/relaycore/cache/platform_skills.hpp"
#include "services/relaycore/cache/pruning.hpp"
#include "services/relaycore/cache/sync_debug_log.hpp"

#include <algorithm>
#include <array>
#include <future>
#include <set>
#include <thread>
#include <vector>

namespace kolvex::services::relaycore::cache {

namespace {

namespace stdfs = std::filesystem;
using contracts::ApiClient;
using contracts::DeclarativeState;
using contracts::SpecsAnswer;
using Documents = std::map<std::string, std::string>;

const core::logging::Logger k_log("kolvex.relaycore.cache.refresh");

// The number of fetches, each on a thread of its own, so all are in flight at once.
constexpr std::size_t k_fetch_threads = 6;

// The map under `key`, an empty map standing in for a missing, empty or other entry
// (as `(d.get(key) or {})` would, without failing on a non-map).
core::Map map_at(const core::Map& parent, std::string_view key)
{
  const core::Value* value = parent.find(key);
  return value != nullptr && value->is_map() ? value->as_map() : core::Map{};
}

// A tag goes out as an If-None-Match header: one that could not be a header value
// (a line break, a control character, hand-edited or committed) would fail every
// refresh, so it is not sent.
bool sendable_tag(const core::Value& tag)
{
  constexpr std::size_t k_longest_tag = 1024;
  if (!tag.is_string() || tag.as_string().empty() || tag.as_string().size() > k_longest_tag) {
    return false;
  }
  return std::none_of(tag.as_string().begin(), tag.as_string().end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && byte != '\t') || byte == 0x7f;
  });
}

// True when the cached copy of an entity reads back as what a fetch writes: a YAML
// map (an empty file reads as none).
bool entity_copy_intact(const paths::RepositoryHandle& repo, const stdfs::path& file)
{
  try {
    constexpr std::size_t k_largest_entity = 64U << 20;
    const core::Value body = core::yaml::load(core::fs::read_text(repo.at(file), k_largest_entity));
    return body.is_map();
  } catch (const std::exception& e) {
    k_log.debug_exception("Cached copy unreadable: " + file.filename().string(), e);
    return false;
  }
}

// True when every spec and canonical doc the last full specs answer wrote is still
// there with the bytes written (`documents`: cache-relative name -> SHA-256).
bool documents_intact(const paths::RepositoryHandle& repo, const core::Map& documents)
{
  const stdfs::path& repo_root = repo.root();
  for (const auto& [name, digest] : documents) {
    const auto slash = name.find('/');
    const std::string_view folder = std::string_view(name).substr(0, slash);
    const std::string file = slash == std::string::npos ? std::string() : name.substr(slash + 1);
    if (file.empty() || !ledger_service::is_safe_slug(file.substr(0, file.rfind('.'))) ||
        !digest.is_string()) {
      return false;
    }
    const stdfs::path dir = folder == "specs"  ? paths::specs_dir(repo_root)
                            : folder == "docs" ? paths::docs_dir(repo_root)
                                               : stdfs::path();
    try {
      if (dir.empty() ||
          core::sha256_hex(core::fs::read_bytes(repo.at(dir / file))) != digest.as_string()) {
        return false;
      }
    } catch (const std::exception&) {
      return false;
    }
  }
  return true;
}

// The entity tags the last refresh stored; empty when there are none or the
// configuration cannot be read (every fetch is then unconditional).  A tag promises
// the server that we hold its answer, so one whose cached copy is missing, empty or
// unreadable is left out, and this refresh fetches that answer whole and repairs it.
core::Map stored_etags(const paths::RepositoryHandle& repo)
{
  core::Map cache;
  try {
    cache = map_at(shared::load_local_config(repo), "cache");
  } catch (const std::exception& e) {
    k_log.debug_exception("Reading the stored entity tags failed (best-effort)", e);
    return {};
  }
  core::Map etags;
  for (const auto& [entity, tag] : map_at(cache, "etags")) {
    if (!sendable_tag(tag)) {
      k_log.debug("Dropping a stored entity tag that is no header value: " + entity);
      continue;
    }
    const bool intact =
        entity == "kolvexstate"   ? entity_copy_intact(repo, paths::state_file(repo.root()))
        : entity == "kolvexrules" ? entity_copy_intact(repo, paths::rules_file(repo.root()))
        : entity == "specs"       ? documents_intact(repo, map_at(cache, "documents"))
                                  : true;
    if (intact) {
      etags.set(entity, tag);
    } else {
      k_log.debug("The cached copy of " + entity + " is damaged; fetching it whole");
    }
  }
  return etags;
}

std::string project_text(const core::Value& project_id)
{
  return project_id.is_string() ? project_id.as_string() : display::repr::python_repr(project_id);
}

// The context's "systems" names; empty (no filter) when there are none.
std::vector<std::string> systems_of(const core::Value& context)
{
  std::vector<std::string> systems;
  const core::Value* entry = context.get("systems");
  if (entry == nullptr || !core::truthy(*entry)) {
    return systems;
  }
  if (entry->is_string()) {
    systems.push_back(entry->as_string());
  } else if (entry->is_list()) {
    for (const core::Value& name : entry->as_list()) {
      if (name.is_string()) {
        systems.push_back(name.as_string());
      }
    }
  }
  return systems;
}

// One list of a specs answer, checked row by row.
// Called only with literals, the two calls side by side in _collect_specs.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::optional<Documents> collect_rows(const core::Value& response,
                                      std::string_view list_key,
                                      std::string_view name_key,
                                      std::string_view what)
{
  const core::Value* rows = response.get(list_key);
  if (rows == nullptr || !rows->is_list()) {
    return std::nullopt;
  }
  Documents collected;
  for (const core::Value& row : rows->as_list()) {
    if (!row.is_map()) {
      k_log.warning("Skipping malformed " + std::string(what) + " row during sync");
      continue;
    }
    const core::Value* name = row.get(name_key);
    const core::Value* content = row.get("content");
    const core::Value shown = name != nullptr ? *name : core::Value();
    if (!shown.is_string() || !ledger_service::is_safe_slug(shown.as_string())) {
      k_log.warning("Skipping " + std::string(what) + " with unsafe " + std::string(name_key) +
                    " during sync: " + display::repr::python_repr(shown));
      continue;
    }
    if (content != nullptr && content->is_string() && !content->as_string().empty()) {
      collected[shown.as_string()] = content->as_string();
    }
  }
  return collected;
}

std::set<std::string> names_of(const Documents& documents)
{
  std::set<std::string> names;
  for (const auto& [name, text] : documents) {
    names.insert(name);
  }
  return names;
}

// The six answers, each taken (and a failure rethrown) on the calling thread.
struct Fetched {
  std::future<core::Value> system_context;
  std::future<DeclarativeState> declarative_state;
  std::future<std::optional<SpecsAnswer>> specs;
  std::future<std::optional<core::Value>> guardrails;
  std::future<std::optional<core::Value>> skills;
  std::future<std::optional<core::Value>> custom_docs;
};

// What each of the four non-fatal fetches failed with ("" when it did not), in the
// order their results are taken; each entry written by its own fetch thread only.
using FetchFailures = std::array<std::string, 4>;

// Runs the six fetches, one per thread, and returns once every one has finished.
// The threads share only what they read; the two fetches that may fail the refresh
// keep their exception in the future, the others are wrapped in _nf.
Fetched fetch_in_parallel(ApiClient& client,
                          const contracts::ApiTarget& target,
                          const std::string& project_id,
                          const std::vector<std::string>& systems,
                          const core::Map& etags,
                          const std::optional<std::string>& specs_etag,
                          FetchFailures& failures)
{
  std::packaged_task<core::Value()> f_sys(
      [&] { return client.fetch_system_context(target, project_id, systems); });
  std::packaged_task<DeclarativeState()> f_decl(
      [&] { return client.fetch_declarative_state_detailed(target, project_id, etags); });
  std::packaged_task<std::optional<SpecsAnswer>()> f_specs([&] {
    return _nf(
        "Specs",
        [&] { return client.fetch_all_specs(target, project_id, specs_etag); },
        &failures[0]);
  });
  std::packaged_task<std::optional<core::Value>()> f_guard([&] {
    return _nf(
        "Guardrails", [&] { return client.fetch_guardrails(target, project_id); }, &failures[1]);
  });
  std::packaged_task<std::optional<core::Value>()> f_skills([&] {
    return _nf(
        "Skills", [&] { return client.fetch_skills(target, project_id); }, &failures[2]);
  });
  std::packaged_task<std::optional<core::Value>()> f_docs([&] {
    return _nf(
        "Custom docs", [&] { return client.fetch_custom_docs(target, project_id); }, &failures[3]);
  });
  Fetched fetched{f_sys.get_future(),
                  f_decl.get_future(),
                  f_specs.get_future(),
                  f_guard.get_future(),
                  f_skills.get_future(),
                  f_docs.get_future()};
  // Should starting a thread fail, the ones already started are joined as the
  // vector unwinds, before the tasks they run go out of scope.
  std::vector<std::jthread> pool;
  pool.reserve(k_fetch_threads);
  pool.emplace_back(std::move(f_sys));
  pool.emplace_back(std::move(f_decl));
  pool.emplace_back(std::move(f_specs));
  pool.emplace_back(std::move(f_guard));
  pool.emplace_back(std::move(f_skills));
  pool.emplace_back(std::move(f_docs));
  for (std::jthread& thread : pool) {
    thread.join();
  }
  return fetched;
}

// The agents whose guidance files are rewritten: the configured ones, else those
// found in the repository, else Claude Code.
std::vector<std::string> guidance_agents(const paths::RepositoryHandle& repo)
{
  std::vector<std::string> agents = shared::configured_agents(shared::load_local_config(repo));
  if (agents.empty()) {
    agents = hooks::agent_guidance::detect_agents(repo.root());
  }
  if (agents.empty()) {
    agents.emplace_back("claude-code");
  }
  return agents;
}

// The platform slugs the server serves, the set a failed install is remembered
// for; nullopt when the skills fetch failed and the set is unknown.
std::optional<std::vector<std::string>> platform_slugs(const std::optional<core::Value>& fetched,
                                                       const core::List& skills_list)
{
  if (!fetched) {
    return std::nullopt;
  }
  std::vector<std::string> slugs;
  for (const core::Value& skill : skills_list) {
    if (skill.get_string("source") != "platform") {
      continue;
    }
    try {
      slugs.push_back(hooks::agent_guidance::_extract_slug(skill));
    } catch (const hooks::agent_guidance::UnsafeSlugError&) {
      // not a skill anyone can install
    }
  }
  return slugs;
}

} // namespace

std::string _short_exc(const std::exception& exc)
{
  return core::errors::short_name(exc);
}

void _log_non_fatal_fetch(std::string_view label, const std::exception& exc)
{
  k_log.debug_exception(std::string(label) + " fetch failed (non-fatal): " + exc.what(), exc);
}

SpecsPayload _collect_specs(const std::optional<core::Value>& response)
{
  if (!response) {
    return {};
  }
  return {collect_rows(*response, "specs", "domain", "spec"),
          collect_rows(*response, "canonical_docs", "name", "canonical doc")};
}

RefreshResult refresh_context_cache_detailed(const std::string& api_key,
                                             const std::string& api_url,
                                             const paths::RepositoryHandle& repo,
                                             const core::Value& project_id,
                                             RefreshOptions options)
{
  const stdfs::path& repo_root = repo.root();
  if (!core::truthy(project_id)) {
    return {.ok = false, .stage = std::string(k_stage_missing_project_id)};
  }
  const std::string pid = project_text(project_id);
  std::string_view stage = k_stage_read_etags;
  try {
    const core::Map etags = stored_etags(repo);

    stage = k_stage_fetch_context;
    ApiClient& client = contracts::api_client();
    const contracts::ApiTarget target{.url = api_url, .key = api_key};
    const core::Value context = client.fetch_context(target, pid);
    const core::Value* stored_specs_tag = etags.find("specs");
    const std::optional<std::string> specs_etag =
        stored_specs_tag != nullptr && stored_specs_tag->is_string() &&
                !stored_specs_tag->as_string().empty()
            ? std::optional<std::string>(stored_specs_tag->as_string())
            : std::nullopt;
    FetchFailures failures;
    Fetched fetched =
        fetch_in_parallel(client, target, pid, systems_of(context), etags, specs_etag, failures);

    // Taken in a fixed order, so the stage reported does not depend on which fetch
    // happened to finish first.
    stage = k_stage_fetch_system_context;
    const core::Value system_context = fetched.system_context.get();

    stage = k_stage_fetch_declarative_state;
    const DeclarativeState declarative = fetched.declarative_state.get();
    std::vector<std::string> warnings;
    std::vector<ChangedFile> changed_files;
    for (const auto& [entity, status] : declarative.statuses) {
      if (status.kind() == core::Value::Kind::integer && status.as_int() >= 400) {
        warnings.push_back(entity + " refused by the server (HTTP " +
                           std::to_string(status.as_int()) + "); the cached copy is kept");
      }
    }
    core::Map new_etags = declarative.etags;
    const auto [specs_response, specs_tag] = fetched.specs.get().value_or(SpecsAnswer{});
    const std::optional<core::Value> guardrails = fetched.guardrails.get();
    const std::optional<core::Value> skills = fetched.skills.get();
    const std::optional<core::Value> custom_docs = fetched.custom_docs.get();
    for (const std::string& failure : failures) {
      if (!failure.empty()) {
        warnings.push_back(failure);
      }
    }

    const SpecsPayload payload = _collect_specs(specs_response);
    const bool authoritative = payload.specs || payload.canonical_docs;
    if (authoritative && specs_tag && !specs_tag->empty()) {
      new_etags.set("specs", *specs_tag);
    }
    // An empty set of specs may mean every row was unusable, not that the server
    // retired them all, so it never prunes; an empty canonical docs list does.
    if (payload.specs && !payload.specs->empty()) {
      _prune_spec_dirs(repo, names_of(*payload.specs));
    }
    if (payload.canonical_docs) {
      _prune_canonical_docs_dir(repo, names_of(*payload.canonical_docs));
    }

    stage = k_stage_write_local_caches;
    context_cache::write_cache_files(repo,
                                     context,
                                     {.system_context = system_context,
                                      .declarative_state = declarative.state,
                                      .specs = payload.specs,
                                      .canonical_docs = payload.canonical_docs,
                                      .etags = new_etags,
                                      .fetch_statuses = declarative.statuses});
    const stdfs::path cache_dir = paths::platform_dir(repo_root);
    // The directory of a file in the cache: the held .platform itself when it is
    // open (the handle gives .platform's own path by a walk from the root).
    const core::fs::Confined cache = repo.at(cache_dir / "kolvexrules.yaml").parent();
    core::fs::create_directories(cache);
    _write_rules_file(cache, guardrails.value_or(core::Value()));
    const core::List skills_list = skills ? _skills_list(*skills) : core::List{};
    _write_skills_cache(repo, cache_dir, skills_list);
    _write_custom_docs(repo, custom_docs);
    _write_memories_file(repo, pid, api_key, api_url);
    const auto adapters = _distribution_adapters(repo);

    if (options.mutate_workspace) {
      for (std::string& line : ensure_platform_skills(repo, platform_slugs(skills, skills_list))) {
        warnings.push_back(std::move(line));
      }
      if (skills) {
        _distribute_skills(repo_root, skills_list, adapters);
      }
      const std::optional<core::List> listed =
          skills_list.empty() ? std::nullopt : std::optional<core::List>(skills_list);
      for (const std::string& agent : guidance_agents(repo)) {
        try {
          const auto file = hooks::agent_guidance::instruction_file(repo_root, agent);
          std::error_code ec;
          const bool existed = file && stdfs::exists(repo_root / *file, ec);
          if (hooks::agent_guidance::write_agent_guidance(repo_root, agent, pid, listed) && file) {
            changed_files.push_back({*file, !existed});
          }
        } catch (const std::exception& e) {
          k_log.debug_exception("Agent file write failed for " + agent + ": " + e.what(), e);
        }
      }
    }
    (void)context_cache::clear_all_hydrate_attempts(repo);
    return {.ok = true, .warnings = std::move(warnings), .changed_files = std::move(changed_files)};
  } catch (const std::exception& exc) {
    RefreshResult result{.ok = false, .stage = std::string(stage), .error = _short_exc(exc)};
    if (kolvex_debug_enabled()) {
      result.log_path = _write_sync_debug_log(repo, stage, exc);
    }
    return result;
  }
}

bool refresh_context_cache(const std::string& api_key,
                           const std::string& api_url,
                           const paths::RepositoryHandle& repo,
                           const core::Value& project_id,
                           RefreshOptions options)
{
  return refresh_context_cache_detailed(api_key, api_url, repo, project_id, options).ok;
}

} // namespace kolvex::services::relaycore::cache
