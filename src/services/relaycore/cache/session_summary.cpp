#include "services/relaycore/cache/session_summary.hpp"

#include "core/clock.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/yaml.hpp"
#include "display/repr.hpp"
#include "paths.hpp"
#include "services/relaycore/cache/rules_cache_state.hpp"
#include "services/relaycore/log/attestation_log.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <vector>

namespace kolvex::services::relaycore::cache {

namespace stdfs = std::filesystem;

namespace {

const core::logging::Logger k_log("kolvex.relaycore.cache.session_summary");

constexpr std::array<std::string_view, 3> k_spec_suffixes = {".md", ".yaml", ".yml"};

// The status of the regular file `p` in the cache, or nullopt when it is missing or
// cannot be used (a link or a special file is refused and reported).
std::optional<struct stat> cache_file_status(const core::fs::Confined& p)
{
  try {
    return core::fs::stat_regular(p);
  } catch (const std::system_error& e) {
    k_log.debug_exception("cache file not usable (best-effort)", e);
    return std::nullopt;
  }
}

// A value as Python's str() shows it: text as it is, anything else as its repr.
std::string display_text(const core::Value& value)
{
  return value.is_string() ? value.as_string() : display::repr::python_repr(value);
}

std::int64_t count_elements(const core::fs::Confined& state_path)
{
  if (!cache_file_status(state_path)) {
    return 0;
  }
  core::Value state;
  try {
    state = core::yaml::load(core::fs::read_text(state_path));
  } catch (const std::exception& e) {
    // Unreadable, not UTF-8 or not YAML: the cache holds no elements we can count.
    k_log.debug_exception("reading the state file failed (best-effort)", e);
    return 0;
  }
  if (state.is_null()) { // an empty file
    return 0;
  }
  if (!state.is_map()) {
    return 0;
  }
  const core::Value* architecture = state.get("architecture");
  if (architecture == nullptr || !architecture->is_map()) {
    return 0;
  }
  const core::Value* elements = architecture->get("elements");
  if (elements == nullptr || !elements->is_map()) {
    return 0;
  }
  std::int64_t count = 0;
  for (const auto& [name, element] : elements->as_map()) {
    if (element.is_map()) {
      ++count;
    }
  }
  return count;
}

bool has_spec_suffix(const stdfs::path& file)
{
  const auto suffix = file.extension().string();
  for (auto wanted : k_spec_suffixes) {
    if (suffix == wanted) {
      return true;
    }
  }
  return false;
}

std::int64_t count_specs(const core::fs::Confined& specs_dir)
{
  try {
    const auto names = core::fs::list_regular_files(specs_dir);
    return static_cast<std::int64_t>(std::count_if(
        names.begin(), names.end(), [](const std::string& name) { return has_spec_suffix(name); }));
  } catch (const std::system_error& e) {
    // Not a directory, unlistable, or refused: no specs we can count.
    k_log.debug_exception("listing the specs failed (best-effort)", e);
    return 0;
  }
}

// The one cache line: stale beats incomplete beats fresh beats empty.
std::string
cache_line(const paths::DirectoryHandle& cache, const RulesCacheState& rules, double now)
{
  const std::array<core::fs::Confined, 2> files = {cache.at("kolvexstate.yaml"),
                                                   cache.at("kolvexrules.yaml")};
  bool any_exists = false;
  bool stale = false;
  for (const auto& file : files) {
    const auto st = cache_file_status(file);
    if (!st) {
      continue;
    }
    any_exists = true;
    const double mtime =
        static_cast<double>(st->st_mtim.tv_sec) + static_cast<double>(st->st_mtim.tv_nsec) / 1e9;
    if (now - mtime > _STALE_THRESHOLD_SECONDS) {
      stale = true;
      break;
    }
  }
  // A stop at the first stale file may leave the second unlooked-at, but it
  // cannot change the line: stale wins over everything.
  if (stale) {
    return "  cache: stale \u2014 run 'kolvex sync' to refresh";
  }
  if (rules.fetch_failed() || rules.unreadable) {
    return "  cache: incomplete \u2014 run 'kolvex sync' to refresh";
  }
  if (any_exists) {
    return "  cache: fresh";
  }
  return "  cache: empty \u2014 run 'kolvex sync' to populate";
}

// Records waiting for upload, counted without building any of them.  A log that is
// not UTF-8 cannot be counted; the summary leaves the line out rather than fail the
// session start.
std::int64_t pending_records(const core::fs::Confined& log_path)
{
  try {
    return log::count_attestation_log(log_path).pending;
  } catch (const std::exception& e) {
    k_log.debug_exception("reading the attestation log failed (best-effort)", e);
    return 0;
  }
}

} // namespace

std::string generate_session_summary_at(const paths::DirectoryHandle& cache,
                                        const core::Value& project_id,
                                        const std::optional<std::string>& agent_name,
                                        double now)
{
  const bool has_project = core::truthy(project_id);
  std::vector<std::string> lines{"kolvex session context loaded"};
  if (has_project) {
    lines.push_back("  project: " + display_text(project_id));
  }
  if (agent_name && !agent_name->empty()) {
    lines.push_back("  agent: " + *agent_name);
  }
  lines.push_back("  elements: " + std::to_string(count_elements(cache.at("kolvexstate.yaml"))));
  const RulesCacheState rules = read_rules_cache_state(cache);
  lines.push_back("  rules: " + rules.describe());
  lines.push_back("  specs: " + std::to_string(count_specs(cache.at("specs"))));
  lines.push_back(cache_line(cache, rules, now));
  if (const auto pending = pending_records(cache.at("log.jsonl")); pending > 0) {
    lines.push_back("  " + std::to_string(pending) +
                    (has_project ? " attestation(s) pending upload \u2014 run 'kolvex sync'"
                                 : " attestation(s) recorded locally, waiting for a project"));
  }
  std::string text;
  for (const auto& line : lines) {
    if (!text.empty()) {
      text += '\n';
    }
    text += line;
  }
  return text;
}

std::string generate_session_summary(const paths::DirectoryHandle& cache,
                                     const core::Value& project_id,
                                     const std::optional<std::string>& agent_name)
{
  return generate_session_summary_at(cache, project_id, agent_name, core::clock::now_seconds());
}

} // namespace kolvex::services::relaycore::cache
