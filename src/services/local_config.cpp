#include "services/local_config.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"

#include <iostream>
#include <iterator>
#include <set>

namespace kolvex::services::shared {

namespace stdfs = std::filesystem;

namespace {

bool exists_file(const stdfs::path& p)
{
  std::error_code ec;
  return stdfs::is_regular_file(p, ec);
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
  return exists_file(paths::local_config(repo_root)) ||
         exists_file(paths::legacy_config_yaml(repo_root)) ||
         exists_file(paths::legacy_config_json(repo_root));
}

core::Map load_local_config(const stdfs::path& repo_root)
{
  for (const auto& candidate :
       {paths::local_config(repo_root), paths::legacy_config_yaml(repo_root)}) {
    if (!exists_file(candidate)) {
      continue;
    }
    try {
      return as_config_map(core::yaml::load(core::fs::read_text(candidate)), candidate);
    } catch (const ConfigError&) {
      throw;
    } catch (const std::exception& e) {
      throw ConfigError("cannot read " + candidate.string() + ": " + e.what());
    }
  }
  const auto legacy_json = paths::legacy_config_json(repo_root);
  if (exists_file(legacy_json)) {
    try {
      return as_config_map(core::json::parse(core::fs::read_text(legacy_json)), legacy_json);
    } catch (const ConfigError&) {
      throw;
    } catch (const std::exception& e) {
      throw ConfigError("cannot read " + legacy_json.string() + ": " + e.what());
    }
  }
  return {};
}

void save_local_config(const stdfs::path& repo_root, const core::Map& config)
{
  const auto target = paths::local_config(repo_root);
  stdfs::create_directories(target.parent_path());
  core::fs::atomic_replace(target, core::yaml::dump(core::Value(config)));
}

std::vector<std::string> ensure_gitignore(const stdfs::path& repo_root)
{
  const auto gitignore = repo_root / ".gitignore";
  std::string content;
  if (exists_file(gitignore)) {
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
  core::fs::atomic_replace(gitignore, content);
  // atomic_replace creates owner-only files; .gitignore is shared with the team.
  stdfs::permissions(gitignore,
                     stdfs::perms::owner_read | stdfs::perms::owner_write |
                       stdfs::perms::group_read | stdfs::perms::others_read);
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
  std::string_view last =
    last_start == std::string_view::npos ? rest : rest.substr(last_start + 1);
  if (is_marker(last)) {
    content = rest.substr(0, last_start == std::string_view::npos ? 0 : last_start + 1);
  }
  return std::string(content);
}

core::Value read_hook_payload()
{
  std::string input(std::istreambuf_iterator<char>(std::cin), {});
  if (core::text::trim(input).empty()) {
    return {};
  }
  try {
    return core::json::parse(input);
  } catch (const core::json::JsonError&) {
    return {};
  }
}

} // namespace kolvex::services::shared
