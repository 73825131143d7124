#include "services/local_config.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"

#include <set>

namespace kolvex::services::shared {

namespace stdfs = std::filesystem;

namespace {

// The configuration files beneath `repo_root`, checked like every file there.
core::fs::Confined beneath(const stdfs::path& repo_root, const stdfs::path& p)
{
  return paths::confined(repo_root, p);
}

// True when the regular file `p` exists.  A link or a special file there is refused
// (and reported) and counts as absent: a repository that ships one is not set up by
// it, and nothing is read through it.
bool exists_file(const stdfs::path& repo_root, const stdfs::path& p)
{
  try {
    return core::fs::regular_file_exists(beneath(repo_root, p));
  } catch (const core::fs::UnsafePathError&) {
    return false;
  } catch (const std::system_error&) {
    return false; // a directory in its place, one we may not search
  }
}

core::Map as_config_map(const core::Value& value, const stdfs::path& source)
{
  if (value.is_null()) {
    return {};
  }
  if (!value.is_map()) {
    throw ConfigError(source.string() + " does not hold a map of settings");
  }
  return value.as_map();
}

} // namespace

bool local_config_exists(const stdfs::path& repo_root)
{
  return exists_file(repo_root, paths::local_config(repo_root)) ||
         exists_file(repo_root, paths::legacy_config_yaml(repo_root)) ||
         exists_file(repo_root, paths::legacy_config_json(repo_root));
}

core::Map load_local_config(const stdfs::path& repo_root)
{
  for (const auto& candidate :
       {paths::local_config(repo_root), paths::legacy_config_yaml(repo_root)}) {
    if (!exists_file(repo_root, candidate)) {
      continue;
    }
    try {
      return as_config_map(core::yaml::load(core::fs::read_text(beneath(repo_root, candidate))),
                           candidate);
    } catch (const ConfigError&) {
      throw;
    } catch (const std::exception& e) {
      throw ConfigError("cannot read " + candidate.string() + ": " + e.what());
    }
  }
  const auto legacy_json = paths::legacy_config_json(repo_root);
  if (exists_file(repo_root, legacy_json)) {
    try {
      return as_config_map(core::json::parse(core::fs::read_text(beneath(repo_root, legacy_json))),
                           legacy_json);
    } catch (const ConfigError&) {
      throw;
    } catch (const std::exception& e) {
      throw ConfigError("cannot read " + legacy_json.string() + ": " + e.what());
    }
  }
  return {};
}

std::vector<std::string> configured_agents(const core::Map& config)
{
  std::vector<std::string> names;
  const core::Value* agents = config.find("agents");
  if (agents == nullptr) {
    return names;
  }
  if (agents->is_string()) {
    names.push_back(agents->as_string());
  } else if (agents->is_list()) {
    for (const auto& item : agents->as_list()) {
      if (item.is_string()) {
        names.push_back(item.as_string());
      }
    }
  }
  return names;
}

void save_local_config(const stdfs::path& repo_root, const core::Map& config)
{
  const core::fs::Confined target = beneath(repo_root, paths::local_config(repo_root));
  core::fs::create_directories(target.parent());
  core::fs::atomic_replace(target, core::yaml::dump(core::Value(config)));
}

std::vector<std::string> ensure_gitignore(const stdfs::path& repo_root)
{
  const core::fs::Confined gitignore{repo_root, ".gitignore"};
  std::string content;
  if (core::fs::regular_file_exists(gitignore)) {
    content = core::fs::read_bytes(gitignore);
  }
  std::set<std::string, std::less<>> present;
  for (auto line : core::fs::splitlines(content)) {
    present.emplace(core::text::trim(line));
  }
  std::vector<std::string> added;
  for (const auto& entry : KOLVEX_GITIGNORE_ENTRIES) {
    if (present.count(entry) == 0) {
      added.push_back(entry);
    }
  }
  if (added.empty()) {
    return added;
  }
  if (!content.empty() && content.back() != '\n') {
    content += '\n';
  }
  for (const auto& entry : added) {
    content += entry + "\n";
  }
  // Not owner-only like kolvex's own files: .gitignore is shared with the team.
  core::fs::atomic_replace(gitignore, content, 0644);
  return added;
}

std::string strip_yaml_delimiters(std::string_view content)
{
  auto is_marker = [](std::string_view line) { return core::text::trim(line) == "---"; };
  // Leading marker: the first line.
  auto first_end = content.find('\n');
  std::string_view first =
      first_end == std::string_view::npos ? content : content.substr(0, first_end);
  if (is_marker(first)) {
    content.remove_prefix(first_end == std::string_view::npos ? content.size() : first_end + 1);
  }
  // Trailing marker: the last non-empty line.
  std::string_view rest = content;
  while (!rest.empty() && (rest.back() == '\n' || rest.back() == '\r')) {
    rest.remove_suffix(1);
  }
  auto last_start = rest.rfind('\n');
  std::string_view last = last_start == std::string_view::npos ? rest : rest.substr(last_start + 1);
  if (is_marker(last)) {
    content = rest.substr(0, last_start == std::string_view::npos ? 0 : last_start + 1);
  }
  return std::string(content);
}

} // namespace kolvex::services::shared
