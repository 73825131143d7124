#include "content.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"

#include <algorithm>
#include <system_error>

namespace kolvex::devserver {

namespace stdfs = std::filesystem;

namespace {

// The title of the markdown doc `file` holding `text`: its first "# " heading, else
// the file's stem.
std::string title_of(const stdfs::path& file, const std::string& text)
{
  for (const std::string_view line : core::fs::splitlines(text)) {
    if (line.starts_with("# ")) {
      return std::string(line.substr(2));
    }
  }
  return file.stem().string();
}

} // namespace

Content::Content(std::optional<stdfs::path> dir) : m_dir(std::move(dir)) {}

std::optional<core::Value> Content::json_file(const stdfs::path& rel) const
{
  if (!m_dir) {
    return std::nullopt;
  }
  std::error_code ec;
  if (!stdfs::is_regular_file(*m_dir / rel, ec)) {
    return std::nullopt;
  }
  return core::json::parse(core::fs::read_text(*m_dir / rel));
}

std::vector<stdfs::path> Content::files(const stdfs::path& rel, const std::string& extension) const
{
  std::vector<stdfs::path> found;
  std::error_code ec;
  if (!m_dir || !stdfs::is_directory(*m_dir / rel, ec)) {
    return found;
  }
  for (const auto& entry : stdfs::directory_iterator(*m_dir / rel, ec)) {
    if (entry.is_regular_file(ec) && entry.path().extension() == extension) {
      found.push_back(entry.path());
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

core::Value Content::whoami() const
{
  if (auto answer = json_file("whoami.json")) {
    return *answer;
  }
  return core::Map{{"user", "dev@localhost"},
                   {"teams", core::List{core::Map{{"id", 1}, {"name", "Local team"}}}}};
}

core::Value Content::context(const Project& project) const
{
  if (auto answer = json_file("context.json")) {
    return *answer;
  }
  return core::Map{
      {"project",
       core::Map{{"id", project.id}, {"title", project.title}, {"remote", project.remote}}},
      {"systems", core::List{}}};
}

core::Value Content::system_context(const std::vector<std::string>& systems) const
{
  if (auto answer = json_file("system-context.json")) {
    return *answer;
  }
  core::Map answer;
  for (const std::string& name : systems) {
    answer.set(name, core::Map{});
  }
  return answer;
}

core::Value Content::state(const std::string& entity) const
{
  if (auto answer = json_file(stdfs::path("state") / (entity + ".json"))) {
    return *answer;
  }
  return core::Map{};
}

core::Value Content::specs() const
{
  core::List specs;
  for (const stdfs::path& file : files("specs", ".md")) {
    specs.emplace_back(
        core::Map{{"domain", file.stem().string()}, {"content", core::fs::read_text(file)}});
  }
  core::List docs;
  for (const stdfs::path& file : files("docs", ".md")) {
    docs.emplace_back(
        core::Map{{"name", file.stem().string()}, {"content", core::fs::read_text(file)}});
  }
  return core::Map{{"specs", std::move(specs)}, {"canonical_docs", std::move(docs)}};
}

core::Value Content::skills() const
{
  core::List skills;
  for (const stdfs::path& file : files("skills", ".json")) {
    skills.push_back(core::json::parse(core::fs::read_text(file)));
  }
  return core::Map{{"skills", std::move(skills)}};
}

core::Value Content::custom_docs() const
{
  core::Map answer;
  for (const char* scope : {"system", "project"}) {
    core::List docs;
    for (const stdfs::path& file : files(stdfs::path("custom-docs") / scope, ".md")) {
      const std::string text = core::fs::read_text(file);
      docs.emplace_back(core::Map{
          {"slug", file.stem().string()}, {"title", title_of(file, text)}, {"content", text}});
    }
    answer.set(scope, std::move(docs));
  }
  return answer;
}

core::Value Content::json_or(const stdfs::path& rel, core::Value fallback) const
{
  if (auto answer = json_file(rel)) {
    return *answer;
  }
  return fallback;
}

} // namespace kolvex::devserver
