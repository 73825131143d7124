#include "agents/skills.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"
#include "display/repr.hpp"
#include "paths.hpp"

#include <algorithm>
#include <optional>
#include <system_error>

namespace kolvex::agents::skills {

namespace {

bool is_ascii_alnum(char c)
{
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Letters and digits first, then letters, digits, '.', '_' and '-': never empty,
// never "." or "..", never a path.
bool is_safe_slug_text(std::string_view text)
{
  if (text.empty() || text.size() > k_max_slug_length || !is_ascii_alnum(text.front())) {
    return false;
  }
  for (const char c : text) {
    if (!is_ascii_alnum(c) && c != '.' && c != '_' && c != '-') {
      return false;
    }
  }
  return true;
}

// "Code Review!" -> "code-review": what a skill without a slug is filed under.
std::string slug_from_name(std::string_view name)
{
  std::string out;
  bool gap = false;
  for (const char c : core::text::lower(name)) {
    if (is_ascii_alnum(c)) {
      if (gap && !out.empty()) {
        out += '-';
      }
      out += c;
      gap = false;
    } else {
      gap = true;
    }
  }
  return out;
}

// The line starting at `pos` of `text` without its line end, and where the next
// line starts.
std::pair<std::string_view, std::size_t> line_at(std::string_view text, std::size_t pos)
{
  const std::size_t end = text.find('\n', pos);
  std::string_view line = text.substr(pos, end == std::string_view::npos ? text.npos : end - pos);
  if (line.ends_with('\r')) {
    line.remove_suffix(1);
  }
  return {line, end == std::string_view::npos ? text.size() : end + 1};
}

// The first non-empty text among `candidates`.
std::string first_text(std::initializer_list<std::optional<std::string>> candidates)
{
  for (const auto& candidate : candidates) {
    if (candidate && !candidate->empty()) {
      return *candidate;
    }
  }
  return {};
}

namespace stdfs = std::filesystem;

const core::logging::Logger k_log("kolvex.agents.skills");

// Bounds on what is read from a repository: a skill or manifest larger than this
// is not one.
constexpr std::size_t k_max_skill_bytes = 1U << 20;
constexpr std::size_t k_max_manifest_bytes = 4U << 20;

// Files in the working tree are the user's to read, share and commit.
constexpr mode_t k_tree_file_mode = 0644;

// "https://github.com/Kolvex/Engineering.git" -> "kolvex/engineering".
std::string normalized_source(std::string_view source)
{
  std::string text = core::text::lower(core::text::trim(source));
  for (const std::string_view prefix : {"https://github.com/", "http://github.com/", "github:"}) {
    if (text.starts_with(prefix)) {
      text.erase(0, prefix.size());
    }
  }
  while (text.ends_with('/')) {
    text.pop_back();
  }
  if (text.ends_with(".git")) {
    text.resize(text.size() - 4);
  }
  return text;
}

// Whether the lock entry `entry` was installed from SKILLS_PACKAGE (or one skill
// of it: "kolvex/engineering/<skill>", "kolvex/engineering@<skill>").
bool from_platform_package(const core::Value& entry)
{
  const auto source = entry.get_string("source");
  if (!source) {
    return false;
  }
  const std::string text = normalized_source(*source);
  if (text == SKILLS_PACKAGE) {
    return true;
  }
  return text.starts_with(SKILLS_PACKAGE) &&
         (text[SKILLS_PACKAGE.size()] == '/' || text[SKILLS_PACKAGE.size()] == '@');
}

// The text of the regular file `at`, or nullopt when it is missing or cannot be
// read (a link, a special file, not UTF-8, too large).
std::optional<std::string> read_if_usable(const core::fs::Confined& at, std::size_t max_bytes)
{
  try {
    if (!core::fs::stat_regular(at)) {
      return std::nullopt;
    }
    return core::fs::read_text(at, max_bytes);
  } catch (const std::exception& e) {
    k_log.debug_exception("reading " + at.full().string() + " failed (best-effort)", e);
    return std::nullopt;
  }
}

// The bytes of the file `at`, nullopt when it is missing.  Throws std::system_error
// when it is something else than a regular file or cannot be read.
std::optional<std::string> current_bytes(const core::fs::Confined& at)
{
  if (!core::fs::stat_regular(at)) {
    return std::nullopt;
  }
  return core::fs::read_bytes(at);
}

std::string file_name(const std::string& slug, SkillFormat format)
{
  switch (format) {
  case SkillFormat::skill_md:
    return slug + "/SKILL.md";
  case SkillFormat::cursor_mdc:
    return slug + ".mdc";
  case SkillFormat::windsurf_md:
    break;
  }
  return slug + ".md";
}

// The manifest's map from folder (relative to the repository) to {file name:
// digest}; empty when there is none or it is unreadable, which only makes kolvex
// more careful: files it cannot prove it wrote are left alone.
core::Map load_manifest(const stdfs::path& repo_root)
{
  const auto text = read_if_usable(paths::confined(paths::skill_folders_manifest(repo_root)),
                                   k_max_manifest_bytes);
  if (!text) {
    return {};
  }
  try {
    core::Value manifest = core::json::parse(*text);
    if (core::Value* folders = manifest.get("folders"); folders != nullptr && folders->is_map()) {
      return std::move(folders->as_map());
    }
  } catch (const core::json::JsonError& e) {
    k_log.debug_exception("skill folder manifest unreadable (best-effort)", e);
  }
  return {};
}

void save_manifest(const stdfs::path& repo_root, core::Map folders)
{
  const core::fs::Confined at = paths::confined(paths::skill_folders_manifest(repo_root));
  core::fs::create_directories(at.parent());
  core::Map manifest{{"version", 1}, {"folders", std::move(folders)}};
  core::fs::replace_if_changed(at, core::json::dump(core::Value(std::move(manifest))) + "\n");
}

bool recorded_as(const core::Value* digest, const std::string& bytes)
{
  return digest != nullptr && digest->is_string() && digest->as_string() == core::sha256_hex(bytes);
}

// Writes `text` to `at` unless a file kolvex did not write is there.  Returns
// whether `at` now holds `text` as kolvex's.
bool place(const core::fs::Confined& at, const std::string& text, const core::Value* recorded)
{
  std::optional<std::string> current;
  try {
    current = current_bytes(at);
  } catch (const std::system_error&) {
    // A link or a directory where the file belongs (the refusal warned already):
    // someone else's, left as it is.
    return false;
  }
  if (current && *current == text) {
    return true;
  }
  if (current && !recorded_as(recorded, *current)) {
    k_log.notice("Not replacing " + at.full().string() + ": kolvex did not write it");
    return false;
  }
  core::fs::create_directories(at.parent());
  core::fs::atomic_replace(at, text, k_tree_file_mode);
  return true;
}

// Removes the file `at` that kolvex wrote as `recorded`, unless it changed since;
// a skill folder left empty goes too.
void retire(const core::fs::Confined& at, const core::Value& recorded, SkillFormat format)
{
  try {
    const auto current = current_bytes(at);
    if (current && recorded_as(&recorded, *current)) {
      core::fs::remove_file(at);
    }
    if (format == SkillFormat::skill_md) {
      core::fs::remove_empty_directory(at.parent());
    }
  } catch (const std::system_error& e) {
    k_log.debug_exception("removing " + at.full().string() + " failed (best-effort)", e);
  }
}

} // namespace

std::string validate_slug(const core::Value& slug, std::string_view source)
{
  if (slug.is_string() && is_safe_slug_text(slug.as_string())) {
    return slug.as_string();
  }
  throw UnsafeSlugError("unsafe " + std::string(source) +
                        " slug: " + display::repr::python_repr(slug));
}

std::string extract_slug(const core::Value& skill)
{
  if (!skill.is_map()) {
    throw UnsafeSlugError("skill is not a map: " + display::repr::python_repr(skill));
  }
  if (const core::Value* slug = skill.get("slug"); slug != nullptr && core::truthy(*slug)) {
    return validate_slug(*slug, "skill");
  }
  if (const auto name = skill.get_string("name")) {
    return validate_slug(core::Value(slug_from_name(*name)), "skill");
  }
  return validate_slug(core::Value(), "skill");
}

FrontMatter split_front_matter(std::string_view text)
{
  FrontMatter whole{std::nullopt, std::string(text)};
  const auto [opening, meta_start] = line_at(text, 0);
  if (opening != "---" || meta_start >= text.size()) {
    return whole;
  }
  std::size_t pos = meta_start;
  while (pos < text.size()) {
    const auto [line, next] = line_at(text, pos);
    if (line == "---" || line == "...") {
      core::Value meta;
      try {
        meta = core::yaml::load(text.substr(meta_start, pos - meta_start));
      } catch (const std::exception&) {
        return whole;
      }
      if (meta.is_null()) {
        meta = core::Map{};
      }
      if (!meta.is_map()) {
        return whole;
      }
      std::string_view body = text.substr(next);
      if (body.starts_with("\r\n")) {
        body.remove_prefix(2);
      } else if (body.starts_with('\n')) {
        body.remove_prefix(1);
      }
      return {std::move(meta.as_map()), std::string(body)};
    }
    pos = next;
  }
  return whole;
}

std::string build_skill_file(const core::Value& skill, SkillFormat format)
{
  const std::string slug = extract_slug(skill);
  FrontMatter content = split_front_matter(skill.get_string("content").value_or(""));
  std::optional<std::string> own_description;
  if (content.meta) {
    if (const core::Value* d = content.meta->find("description"); d != nullptr && d->is_string()) {
      own_description = d->as_string();
    }
  }
  const std::string description = first_text(
      {skill.get_string("description"), own_description, skill.get_string("name"), slug});

  core::Map meta;
  switch (format) {
  case SkillFormat::skill_md:
    meta.set("name", slug);
    meta.set("description", description);
    break;
  case SkillFormat::cursor_mdc:
    meta.set("description", description);
    meta.set("alwaysApply", false);
    break;
  case SkillFormat::windsurf_md:
    meta.set("trigger", "model_decision");
    meta.set("description", description);
    break;
  }
  std::string out = "---\n" + core::yaml::dump(core::Value(std::move(meta))) + "---\n\n";
  out += content.body;
  if (!out.ends_with('\n')) {
    out += '\n';
  }
  return out;
}

std::vector<std::string> installed_platform_slugs(const stdfs::path& repo_root)
{
  std::vector<std::string> slugs;
  const auto text =
      read_if_usable(paths::confined(repo_root, repo_root / k_npx_lock_file), k_max_manifest_bytes);
  if (!text) {
    return slugs;
  }
  core::Value lock;
  try {
    lock = core::json::parse(*text);
  } catch (const core::json::JsonError& e) {
    k_log.debug_exception("npx lock manifest unreadable (best-effort)", e);
    return slugs;
  }
  const auto consider = [&](const core::Value& name, const core::Value& entry) {
    if (!from_platform_package(entry)) {
      return;
    }
    try {
      std::string slug = validate_slug(name, "platform skill");
      if (std::find(slugs.begin(), slugs.end(), slug) == slugs.end()) {
        slugs.push_back(std::move(slug));
      }
    } catch (const UnsafeSlugError& e) {
      k_log.warning(std::string("Skipping npx-installed skill: ") + e.what());
    }
  };
  const core::Value* skills = lock.get("skills");
  if (skills != nullptr && skills->is_map()) {
    for (const auto& [name, entry] : skills->as_map()) {
      consider(core::Value(name), entry);
    }
  } else if (skills != nullptr && skills->is_list()) {
    for (const core::Value& entry : skills->as_list()) {
      const core::Value* name = entry.get("name");
      consider(name != nullptr ? *name : core::Value(), entry);
    }
  }
  return slugs;
}

core::List read_platform_skills_from_npx(const stdfs::path& repo_root)
{
  core::List skills;
  for (const std::string& slug : installed_platform_slugs(repo_root)) {
    const stdfs::path file = stdfs::path(k_shared_skills_dir) / slug / "SKILL.md";
    const auto text = read_if_usable({repo_root, file}, k_max_skill_bytes);
    if (!text) {
      continue;
    }
    FrontMatter parsed = split_front_matter(*text);
    const core::Value meta = parsed.meta ? core::Value(std::move(*parsed.meta)) : core::Value();
    skills.emplace_back(core::Map{
        {"slug", slug},
        {"name", meta.get_string("name").value_or(slug)},
        {"description", meta.get_string("description").value_or("")},
        {"content", std::move(parsed.body)},
        {"source", "platform"},
    });
  }
  return skills;
}

bool npx_reaches(const stdfs::path& repo_root, std::string_view skills_dir)
{
  const std::vector<std::string> slugs = installed_platform_slugs(repo_root);
  if (slugs.empty()) {
    return false;
  }
  for (const std::string& slug : slugs) {
    // Only asks whether the file is there: the installer's links are followed.
    std::error_code ec;
    if (!stdfs::exists(repo_root / skills_dir / slug / "SKILL.md", ec)) {
      return false;
    }
  }
  return true;
}

void write_skill_files(const stdfs::path& repo_root,
                       std::string_view dir,
                       const core::List& skills,
                       SkillFormat format)
{
  core::Map desired;
  for (const core::Value& skill : skills) {
    try {
      const std::string slug = extract_slug(skill);
      desired.set(file_name(slug, format), build_skill_file(skill, format));
    } catch (const UnsafeSlugError& e) {
      k_log.warning(std::string("Skipping skill with unsafe slug: ") + e.what());
    }
  }

  core::Map folders = load_manifest(repo_root);
  const core::Value* recorded = folders.find(dir);
  const core::Map owned =
      recorded != nullptr && recorded->is_map() ? recorded->as_map() : core::Map{};
  const core::fs::Confined base{repo_root, stdfs::path(dir)};
  core::Map now_owned;
  for (const auto& [name, text] : desired) {
    if (place(base / name, text.as_string(), owned.find(name))) {
      now_owned.set(name, core::sha256_hex(text.as_string()));
    }
  }
  for (const auto& [name, digest] : owned) {
    if (!desired.contains(name)) {
      retire(base / name, digest, format);
    }
  }
  if (now_owned.empty()) {
    folders.erase(dir);
  } else {
    folders.set(dir, std::move(now_owned));
  }
  save_manifest(repo_root, std::move(folders));
}

} // namespace kolvex::agents::skills
