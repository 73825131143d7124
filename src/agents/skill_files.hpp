#pragma once

// Skills as files: the slug a skill is filed under, and the text of the file each
// harness reads (a SKILL.md with front matter, a Cursor rule, a Windsurf rule).
// Slugs come from the server and from npx-installed folders, so every one is checked
// before it becomes a file name.

#include "core/value.hpp"

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kolvex::agents::skills {

// A name that may not become a file or directory name: not text, empty, too long,
// starting with something other than a letter or digit, or holding a character
// outside letters, digits, '.', '_' and '-' ("/", "..", a leading "." included).
class UnsafeSlugError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The longest slug accepted.
inline constexpr std::size_t k_max_slug_length = 100;

// Returns `slug` as text when it is safe as a file name; throws UnsafeSlugError
// naming `source` ("skill", "custom doc") and the slug otherwise.
std::string validate_slug(const core::Value& slug, std::string_view source);

// The slug of the skill map `skill`: its "slug", else its "name" lower-cased with
// every run of other characters than letters and digits made one "-".  Throws
// UnsafeSlugError when that is not a safe slug or `skill` is not a map.
[[nodiscard]] std::string extract_slug(const core::Value& skill);

// The file forms a skill is written in.
enum class SkillFormat {
  skill_md,   // SKILL.md: front matter with name and description, then the content
  cursor_mdc, // a Cursor rule: front matter with description and alwaysApply false
  windsurf_md // a Windsurf rule: front matter with trigger model_decision and description
};

// The text of `skill` in `format`.  The description is the skill's "description",
// else its "name", else the slug; a front matter block already at the top of the
// content is folded in (its description used when the skill has none) rather than
// repeated.  Throws UnsafeSlugError as extract_slug does.
[[nodiscard]] std::string build_skill_file(const core::Value& skill, SkillFormat format);

// A file split at its front matter: `meta` is the YAML map between a leading "---"
// line and the next "---" line (nullopt when there is none or it is not a map),
// `body` what follows it (one blank line after the block dropped).
struct FrontMatter {
  std::optional<core::Map> meta;
  std::string body;
};

// Splits `text` (a SKILL.md or rule file, outside input) at its front matter.
// Never throws for malformed input: without a readable block the whole text is the
// body.
[[nodiscard]] FrontMatter split_front_matter(std::string_view text);

} // namespace kolvex::agents::skills
