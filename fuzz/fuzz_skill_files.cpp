// Arbitrary bytes as a skills answer (JSON; anything else is one skill's content)
// and as a SKILL.md read from .agents/skills.  A slug that passes can never name a
// path; every file built has front matter that reads back with the skill's slug;
// splitting front matter never throws.
#include "agents/skills.hpp"
#include "core/json.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

namespace skills = kolvex::agents::skills;
using kolvex::core::Value;

void require(bool condition)
{
  if (!condition) {
    std::abort();
  }
}

void check_skill(const Value& skill)
{
  std::string slug;
  try {
    slug = skills::extract_slug(skill);
  } catch (const skills::UnsafeSlugError&) {
    return;
  }
  require(!slug.empty() && slug.size() <= skills::k_max_slug_length);
  require(slug.find('/') == std::string::npos && slug.find('\0') == std::string::npos);
  require(slug.front() != '.' && slug != "..");
  for (const auto format : {skills::SkillFormat::skill_md,
                            skills::SkillFormat::cursor_mdc,
                            skills::SkillFormat::windsurf_md}) {
    const std::string text = skills::build_skill_file(skill, format);
    const skills::FrontMatter parsed = skills::split_front_matter(text);
    require(parsed.meta.has_value());
    require(parsed.meta->find("description") != nullptr);
    if (format == skills::SkillFormat::skill_md) {
      const Value* name = parsed.meta->find("name");
      require(name != nullptr && name->is_string() && name->as_string() == slug);
    }
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  (void)skills::split_front_matter(input);
  Value answer;
  try {
    answer = kolvex::core::json::parse(input);
  } catch (const kolvex::core::json::JsonError&) {
    answer = kolvex::core::Map{{"slug", "fuzz"}, {"content", std::string(input)}};
  }
  if (const Value* list = answer.get("skills"); list != nullptr && list->is_list()) {
    for (const Value& skill : list->as_list()) {
      check_skill(skill);
    }
  } else if (answer.is_list()) {
    for (const Value& skill : answer.as_list()) {
      check_skill(skill);
    }
  } else {
    check_skill(answer);
  }
  return 0;
}
