#include "services/context_cache.hpp"

#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/sha256.hpp"
#include "core/yaml.hpp"
#include "display/repr.hpp"
#include "paths.hpp"
#include "repository_handle.hpp"
#include "services/ledger_service.hpp"
#include "services/local_config.hpp"

#include <array>
#include <system_error>

namespace kolvex::services::context_cache {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger k_log("kolvex.services.context_cache");

constexpr std::string_view k_doc_suffix = ".md";

// An existing rules file larger than this is not ours to merge with.
constexpr std::size_t k_max_rules_bytes = 64U << 20;

// The map under `key` of `parent`, or an empty map when it is missing or not one.
core::Map map_at(const core::Map& parent, std::string_view key)
{
  const core::Value* value = parent.find(key);
  return value != nullptr && value->is_map() ? value->as_map() : core::Map{};
}

void write_text(const paths::RepositoryHandle& repo, const stdfs::path& file, std::string_view text)
{
  const core::fs::Confined at = repo.at(file);
  core::fs::create_directories(at.parent());
  core::fs::replace_if_changed(at, text);
}

void write_yaml(const paths::RepositoryHandle& repo,
                const stdfs::path& file,
                const core::Value& value)
{
  write_text(repo, file, core::yaml::dump(value));
}

// The text of the regular file `file`, nullopt when it is missing.
std::optional<std::string>
read_existing(const paths::RepositoryHandle& repo, const stdfs::path& file, std::size_t max_bytes)
{
  const core::fs::Confined at = repo.at(file);
  if (!core::fs::stat_regular(at)) {
    return std::nullopt;
  }
  return core::fs::read_bytes(at, max_bytes);
}

// The body of `entity` in the declarative state when one came with this refresh and
// is a map; nullptr otherwise (304, a failed fetch, or a malformed body, warned).
const core::Map* served_entity(const core::Map& state, std::string_view entity)
{
  const core::Value* body = state.find(entity);
  if (body == nullptr || body->is_null()) {
    return nullptr;
  }
  if (!body->is_map()) {
    k_log.warning("Skipping malformed " + std::string(entity) +
                  " entity during sync: " + std::string(body->type_name()));
    return nullptr;
  }
  return &body->as_map();
}

// Writes one "<name>.md" per entry into `dir`; names that are not safe slugs are
// skipped with a warning (the refresh has checked them; this keeps the writer safe
// on its own).
void write_documents(const core::fs::Confined& at,
                     const std::map<std::string, std::string>& documents,
                     std::string_view kind)
{
  core::fs::create_directories(at);
  for (const auto& [name, text] : documents) {
    if (!ledger_service::is_safe_slug(name)) {
      k_log.warning("Skipping " + std::string(kind) +
                    " with unsafe name: " + display::repr::python_repr(std::string_view(name)));
      continue;
    }
    core::fs::replace_if_changed(at / (name + std::string(k_doc_suffix)), text);
  }
}

// Removes the files of spec domains no longer served.
void drop_retired_spec_files(const core::fs::Confined& at,
                             const std::map<std::string, std::string>& specs)
{
  for (const std::string& file : core::fs::list_regular_files(at)) {
    if (file.size() > k_doc_suffix.size() && file.ends_with(k_doc_suffix) &&
        !specs.contains(file.substr(0, file.size() - k_doc_suffix.size()))) {
      core::fs::remove_file(at / file);
    }
  }
}

bool file_exists(const core::fs::Confined& file)
{
  try {
    return core::fs::regular_file_exists(file);
  } catch (const std::system_error&) {
    return false;
  }
}

// Notes under "documents" the SHA-256 of every spec and canonical doc a full specs
// answer wrote, by cache-relative name, so that the next refresh can tell a copy
// that was deleted or damaged since and fetch the answer whole instead of asking
// whether it changed.
void record_documents(core::Map& cache, const CacheFiles& files)
{
  core::Map recorded = map_at(cache, "documents");
  const auto note = [&](std::string_view folder,
                        const std::optional<std::map<std::string, std::string>>& documents) {
    if (!documents) {
      return;
    }
    core::Map kept;
    for (const auto& [name, digest] : recorded) {
      if (!name.starts_with(std::string(folder) + "/")) {
        kept.set(name, digest);
      }
    }
    for (const auto& [name, text] : *documents) {
      if (ledger_service::is_safe_slug(name)) {
        kept.set(std::string(folder) + "/" + name + std::string(k_doc_suffix),
                 core::Value(core::sha256_hex(text)));
      }
    }
    recorded = std::move(kept);
  };
  note("specs", files.specs);
  note("docs", files.canonical_docs);
  cache.set("documents", core::Value(std::move(recorded)));
}

// The local configuration's "cache" section with `files`' tags and statuses merged
// in; saved only when it changed.
void record_fetch(const paths::RepositoryHandle& repo, const CacheFiles& files)
{
  const stdfs::path& repo_root = repo.root();
  const core::Map original = shared::load_local_config(repo);
  core::Map config = original;
  core::Map cache = map_at(config, "cache");

  core::Map etags = map_at(cache, "etags");
  for (const auto& [entity, tag] : files.etags) {
    if (tag.is_string() && !tag.as_string().empty()) {
      etags.set(entity, tag);
    }
  }
  // A tag promises the server that we hold its answer: once the file it stands for
  // has gone, the promise is dropped and the next refresh fetches it whole.
  const std::array<std::pair<std::string_view, stdfs::path>, 2> entity_files{{
      {"kolvexstate", paths::state_file(repo_root)},
      {"kolvexrules", paths::rules_file(repo_root)},
  }};
  for (const auto& [entity, file] : entity_files) {
    if (!file_exists(repo.at(file))) {
      etags.erase(entity);
    }
  }
  std::error_code ec;
  if (!std::filesystem::is_directory(paths::specs_dir(repo_root), ec)) {
    etags.erase("specs");
  }
  cache.set("etags", std::move(etags));
  record_documents(cache, files);

  core::Map statuses = map_at(cache, "fetch_status");
  for (const auto& [entity, status] : files.fetch_statuses) {
    statuses.set(entity, status);
  }
  cache.set("fetch_status", std::move(statuses));
  config.set("cache", std::move(cache));
  if (!(config == original)) {
    shared::save_local_config(repo, config);
  }
}

} // namespace

std::string _merged_rules_text(const std::optional<std::string>& existing, const core::Map& served)
{
  core::Map merged;
  for (const auto& [section, value] : served) {
    if (section != "constraints") {
      merged.set(section, value);
    }
  }
  if (existing) {
    try {
      const core::Value current = core::yaml::load(*existing);
      if (const core::Value* constraints = current.get("constraints"); constraints != nullptr) {
        merged.set("constraints", *constraints);
      }
    } catch (const core::yaml::YamlError& e) {
      k_log.debug_exception("Corrupt kolvexrules.yaml, overwriting", e);
    }
  }
  return core::yaml::dump(core::Value(std::move(merged)));
}

void write_cache_files(const paths::RepositoryHandle& repo,
                       const core::Value& context,
                       const CacheFiles& files)
{
  const stdfs::path& repo_root = repo.root();
  write_yaml(repo, paths::context_file(repo_root), context);
  write_yaml(repo, paths::system_context_file(repo_root), files.system_context);

  if (const core::Map* state = served_entity(files.declarative_state, "kolvexstate")) {
    write_yaml(repo, paths::state_file(repo_root), core::Value(*state));
  }
  if (const core::Map* rules = served_entity(files.declarative_state, "kolvexrules")) {
    const stdfs::path rules_path = paths::rules_file(repo_root);
    write_text(repo,
               rules_path,
               _merged_rules_text(read_existing(repo, rules_path, k_max_rules_bytes), *rules));
  }

  if (files.specs) {
    write_documents(repo.at(paths::specs_dir(repo_root)), *files.specs, "spec");
    if (!files.specs->empty()) {
      drop_retired_spec_files(repo.at(paths::specs_dir(repo_root)), *files.specs);
    }
  }
  if (files.canonical_docs && !files.canonical_docs->empty()) {
    write_documents(repo.at(paths::docs_dir(repo_root)), *files.canonical_docs, "canonical doc");
  }
  record_fetch(repo, files);
}

int clear_all_hydrate_attempts(const paths::RepositoryHandle& repo) noexcept
{
  try {
    core::Map config = shared::load_local_config(repo);
    core::Value* cache = config.find("cache");
    if (cache == nullptr || !cache->is_map()) {
      return 0;
    }
    const core::Value* attempts = cache->as_map().find("hydrate_attempts");
    if (attempts == nullptr) {
      return 0;
    }
    const int count = attempts->is_map() ? static_cast<int>(attempts->as_map().size()) : 1;
    cache->as_map().erase("hydrate_attempts");
    shared::save_local_config(repo, config);
    return count;
  } catch (const std::exception& e) {
    k_log.debug_exception("Clearing hydrate attempts failed (best-effort)", e);
    return 0;
  }
}

} // namespace kolvex::services::context_cache
