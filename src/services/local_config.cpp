#include "services/local_config.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "repository_handle.hpp"

#include <functional>
#include <set>

namespace kolvex::services::shared {

namespace stdfs = std::filesystem;

namespace {

// Where the configuration files are opened: by a checked walk from the records
// root, or from the directories a repository handle holds open.
using Locate = std::function<core::fs::Confined(const stdfs::path&)>;

Locate by_name(const stdfs::path& repo_root)
{
  return [repo_root](const stdfs::path& p) { return paths::confined(repo_root, p); };
}

Locate through(const paths::RepositoryHandle& repo)
{
  return [&repo](const stdfs::path& p) { return repo.at(p); };
}

// True when the regular file `p` exists.  A link or a special file there is refused
// (and reported) and counts as absent: a repository that ships one is not set up by
// it, and nothing is read through it.
bool exists_file(const Locate& at, const stdfs::path& p)
{
  try {
    return core::fs::regular_file_exists(at(p));
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

bool config_exists(const Locate& at, const stdfs::path& repo_root)
{
  return exists_file(at, paths::local_config(repo_root)) ||
         exists_file(at, paths::legacy_config_yaml(repo_root)) ||
         exists_file(at, paths::legacy_config_json(repo_root));
}

core::Map load_config(const Locate& at, const stdfs::path& repo_root)
{
  for (const auto& candidate :
       {paths::local_config(repo_root), paths::legacy_config_yaml(repo_root)}) {
    if (!exists_file(at, candidate)) {
      continue;
    }
    try {
      return as_config_map(core::yaml::load(core::fs::read_text(at(candidate))), candidate);
    } catch (const ConfigError&) {
      throw;
    } catch (const std::exception& e) {
      throw ConfigError("cannot read " + candidate.string() + ": " + e.what());
    }
  }
  const auto legacy_json = paths::legacy_config_json(repo_root);
  if (exists_file(at, legacy_json)) {
    try {
      return as_config_map(core::json::parse(core::fs::read_text(at(legacy_json))), legacy_json);
    } catch (const ConfigError&) {
      throw;
    } catch (const std::exception& e) {
      throw ConfigError("cannot read " + legacy_json.string() + ": " + e.what());
    }
  }
  return {};
}

void save_config(const core::fs::Confined& target, const core::Map& config)
{
  core::fs::create_directories(target.parent());
  core::fs::atomic_replace(target, core::yaml::dump(core::Value(config)));
}

} // namespace

bool local_config_exists(const stdfs::path& repo_root)
{
  return config_exists(by_name(repo_root), repo_root);
}

bool local_config_exists(const paths::RepositoryHandle& repo)
{
  return config_exists(through(repo), repo.root());
}

core::Map load_local_config(const stdfs::path& repo_root)
{
  return load_config(by_name(repo_root), repo_root);
}

core::Map load_local_config(const paths::RepositoryHandle& repo)
{
  return load_config(through(repo), repo.root());
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
  save_config(by_name(repo_root)(paths::local_config(repo_root)), config);
}

void save_local_config(const paths::RepositoryHandle& repo, const core::Map& config)
{
  save_config(repo.at(paths::local_config(repo.root())), config);
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
