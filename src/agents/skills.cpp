#include "agents/skills.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/sha256.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"
#include "display/repr.hpp"
#include "paths.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <set>
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

// What kolvex keeps in the manifest: `folders` maps a folder (relative to the
// repository) to {file name: digest} of what it wrote there; `declined` maps a
// folder to {name: true} for the entries it left to their owner, so that each is
// warned about once and not on every sync; `platform` maps a platform slug to the
// digest of the npx SKILL.md that a project skill replaced in .agents/skills, so
// that copies of it elsewhere are still known as the installer's.
struct Manifest {
  core::Map folders;
  core::Map declined;
  core::Map platform;
};

core::Map map_entry(core::Value& manifest, std::string_view key)
{
  core::Value* entry = manifest.get(key);
  return entry != nullptr && entry->is_map() ? std::move(entry->as_map()) : core::Map{};
}

// An empty manifest when there is none or it is unreadable, which only makes
// kolvex more careful: files it cannot prove it wrote are left alone.
Manifest load_manifest(const stdfs::path& repo_root)
{
  const auto text = read_if_usable(paths::confined(paths::skill_folders_manifest(repo_root)),
                                   k_max_manifest_bytes);
  if (!text) {
    return {};
  }
  try {
    core::Value manifest = core::json::parse(*text);
    return {map_entry(manifest, "folders"),
            map_entry(manifest, "declined"),
            map_entry(manifest, "platform")};
  } catch (const core::json::JsonError& e) {
    k_log.debug_exception("skill folder manifest unreadable (best-effort)", e);
  }
  return {};
}

void save_manifest(const stdfs::path& repo_root, Manifest manifest)
{
  const core::fs::Confined at = paths::confined(paths::skill_folders_manifest(repo_root));
  core::fs::create_directories(at.parent());
  core::Map out{{"version", 1}, {"folders", std::move(manifest.folders)}};
  if (!manifest.declined.empty()) {
    out.set("declined", std::move(manifest.declined));
  }
  if (!manifest.platform.empty()) {
    out.set("platform", std::move(manifest.platform));
  }
  core::fs::replace_if_changed(at, core::json::dump(core::Value(std::move(out))) + "\n");
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
    // A link or a directory where the file belongs: someone else's, left as it is.
    return false;
  }
  if (current && *current == text) {
    return true;
  }
  if (current && !recorded_as(recorded, *current)) {
    return false;
  }
  core::fs::create_directories(at.parent());
  core::fs::atomic_replace(at, text, k_tree_file_mode);
  return true;
}

// Who holds the entry <slug> of a SKILL.md folder.
enum class Holder {
  nobody,          // nothing there, or a folder without SKILL.md
  kolvex,          // kolvex wrote its SKILL.md (place decides on edits)
  platform_link,   // the npx installer's link to its own folder in .agents/skills
  platform_folder, // the npx installer's folder, or its copy of one
  someone_else     // anything else: the user's, left alone
};

// The link `name` in the directory `dir_fd` points to, as written.
std::optional<stdfs::path> link_target(int dir_fd, const std::string& name)
{
  std::string buffer(4096, '\0');
  const ssize_t n = ::readlinkat(dir_fd, name.c_str(), buffer.data(), buffer.size());
  if (n < 0 || static_cast<std::size_t>(n) >= buffer.size()) {
    return std::nullopt;
  }
  buffer.resize(static_cast<std::size_t>(n));
  return stdfs::path(buffer);
}

// The SHA-256 of <folder>/SKILL.md, nullopt when it is missing or no regular file.
std::optional<std::string> skill_md_digest(const core::fs::Confined& folder)
{
  try {
    const auto bytes = current_bytes(folder / "SKILL.md");
    return bytes ? std::optional<std::string>(core::sha256_hex(*bytes)) : std::nullopt;
  } catch (const std::system_error&) {
    return std::nullopt;
  }
}

// Decides who holds <dir>/<slug>.  The installer's own entries are: in
// .agents/skills, the folder of a slug its lock manifest records; elsewhere, a link
// to that folder, or a folder whose SKILL.md is the installer's (as it is now, or
// as it was before a project skill replaced it).  Nothing is followed.
Holder holder_of(const stdfs::path& repo_root,
                 std::string_view dir,
                 const std::string& slug,
                 const std::vector<std::string>& platform_slugs,
                 const core::Map& owned,
                 const core::Map& platform_digests,
                 int dir_fd)
{
  struct ::stat st {};
  if (::fstatat(dir_fd, slug.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return Holder::nobody; // missing, or unreadable: place() refuses what it must
  }
  const bool platform =
      std::find(platform_slugs.begin(), platform_slugs.end(), slug) != platform_slugs.end();
  const bool shared = dir == k_shared_skills_dir;
  const stdfs::path npx_folder = stdfs::path(k_shared_skills_dir) / slug;
  if (S_ISLNK(st.st_mode)) {
    const auto target = link_target(dir_fd, slug);
    const bool to_npx_folder = target && ((repo_root / dir / *target).lexically_normal() ==
                                          (repo_root / npx_folder).lexically_normal());
    return platform && !shared && to_npx_folder ? Holder::platform_link : Holder::someone_else;
  }
  if (!S_ISDIR(st.st_mode)) {
    return Holder::someone_else;
  }
  if (owned.contains(slug + "/SKILL.md")) {
    return Holder::kolvex;
  }
  const core::fs::Confined entry{repo_root, stdfs::path(dir) / slug};
  const auto digest = skill_md_digest(entry);
  if (!digest) {
    return Holder::nobody;
  }
  if (platform && shared) {
    return Holder::platform_folder;
  }
  if (platform) {
    const core::Value* replaced = platform_digests.find(slug);
    if (digest == skill_md_digest({repo_root, npx_folder}) ||
        (replaced != nullptr && replaced->is_string() && replaced->as_string() == *digest)) {
      return Holder::platform_folder;
    }
  }
  return Holder::someone_else;
}

// Clears the installer's entry <dir>/<slug> so that a project skill takes its place:
// a link is removed as the link it is (its folder untouched), a folder with all it
// holds.  The SKILL.md digest of the installer's own folder is kept in `platform`
// first, so its copies in other folders are still recognised afterwards.
void clear_platform_entry(const stdfs::path& repo_root,
                          std::string_view dir,
                          const std::string& slug,
                          Holder holder,
                          int dir_fd,
                          core::Map& platform)
{
  const core::fs::Confined entry{repo_root, stdfs::path(dir) / slug};
  if (holder == Holder::platform_link) {
    if (::unlinkat(dir_fd, slug.c_str(), 0) != 0) {
      throw std::system_error(errno, std::generic_category(), entry.full().string());
    }
  } else {
    if (dir == k_shared_skills_dir) {
      if (const auto digest = skill_md_digest(entry)) {
        platform.set(slug, *digest);
      }
    }
    (void)core::fs::remove_tree(entry);
  }
  k_log.notice("Replaced the platform skill " + entry.full().string() +
               " with the project's skill of the same name");
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
  std::vector<std::string> slugs;
  for (const core::Value& skill : skills) {
    try {
      const std::string slug = extract_slug(skill);
      desired.set(file_name(slug, format), build_skill_file(skill, format));
      slugs.push_back(slug);
    } catch (const UnsafeSlugError& e) {
      k_log.warning(std::string("Skipping skill with unsafe slug: ") + e.what());
    }
  }

  Manifest manifest = load_manifest(repo_root);
  const core::Value* recorded = manifest.folders.find(dir);
  const core::Map owned =
      recorded != nullptr && recorded->is_map() ? recorded->as_map() : core::Map{};
  const core::Value* was_declined = manifest.declined.find(dir);
  const core::fs::Confined base{repo_root, stdfs::path(dir)};

  // A project skill wins over a platform skill of the same slug: the installer's
  // own entry for that slug makes way; anyone else's stays, and the project skill
  // is not given to this folder.
  std::set<std::string> held_elsewhere;
  if (format == SkillFormat::skill_md && !slugs.empty()) {
    std::optional<core::fs::Fd> dir_fd;
    try {
      dir_fd.emplace(core::fs::open_directory(base));
    } catch (const std::system_error&) {
      // Missing (place() creates it) or refused (place() refuses each file the
      // same way): nothing stands in a project skill's way yet.
    }
    if (dir_fd) {
      const std::vector<std::string> platform_slugs = installed_platform_slugs(repo_root);
      for (const std::string& slug : slugs) {
        const Holder holder = holder_of(
            repo_root, dir, slug, platform_slugs, owned, manifest.platform, dir_fd->get());
        if (holder == Holder::platform_link || holder == Holder::platform_folder) {
          clear_platform_entry(repo_root, dir, slug, holder, dir_fd->get(), manifest.platform);
        } else if (holder == Holder::someone_else) {
          held_elsewhere.insert(slug + "/SKILL.md");
        }
      }
    }
  }

  core::Map now_owned;
  core::Map declined;
  for (const auto& [name, text] : desired) {
    if (!held_elsewhere.contains(name) && place(base / name, text.as_string(), owned.find(name))) {
      now_owned.set(name, core::sha256_hex(text.as_string()));
      continue;
    }
    // Told once: the entry stays the user's until they change it, and saying so
    // on every sync would bury everything else a sync has to say.
    const bool told =
        was_declined != nullptr && was_declined->is_map() && was_declined->as_map().contains(name);
    if (!told) {
      k_log.notice("Not replacing " + (base / name).full().string() +
                   ": kolvex did not write it; the server's skill of that name is left out");
    }
    declined.set(name, true);
  }
  for (const auto& [name, digest] : owned) {
    if (!desired.contains(name)) {
      retire(base / name, digest, format);
    }
  }
  if (now_owned.empty()) {
    manifest.folders.erase(dir);
  } else {
    manifest.folders.set(dir, std::move(now_owned));
  }
  if (declined.empty()) {
    manifest.declined.erase(dir);
  } else {
    manifest.declined.set(dir, std::move(declined));
  }
  save_manifest(repo_root, std::move(manifest));
}

std::vector<stdfs::path> remove_skill_files(const stdfs::path& repo_root)
{
  std::vector<stdfs::path> removed;
  Manifest manifest = load_manifest(repo_root);
  if (manifest.folders.empty()) {
    return removed;
  }
  for (const auto& [dir, recorded] : manifest.folders) {
    if (!recorded.is_map()) {
      continue;
    }
    const core::fs::Confined base{repo_root, stdfs::path(dir)};
    for (const auto& [name, digest] : recorded.as_map()) {
      const core::fs::Confined at = base / name;
      try {
        const auto current = current_bytes(at);
        if (current && recorded_as(&digest, *current)) {
          core::fs::remove_file(at);
          removed.push_back(at.full());
        }
        if (at.parent().rel != base.rel) {
          (void)core::fs::remove_empty_directory(at.parent());
        }
      } catch (const std::system_error& e) {
        k_log.warning("Left " + at.full().string() + " alone: " + e.what());
      }
    }
    // The skill directory and the harness folder above it, when kolvex's files were
    // all they held.
    for (stdfs::path folder = dir; !folder.empty(); folder = folder.parent_path()) {
      try {
        if (!core::fs::remove_empty_directory({repo_root, folder})) {
          break;
        }
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  manifest.folders = core::Map{};
  manifest.declined = core::Map{};
  save_manifest(repo_root, std::move(manifest));
  return removed;
}

} // namespace kolvex::agents::skills
