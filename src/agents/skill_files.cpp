#include "agents/skill_files.hpp"

#include "core/text.hpp"
#include "core/yaml.hpp"
#include "display/repr.hpp"

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

} // namespace kolvex::agents::skills
