#pragma once

// Skills as files: the slug a skill is filed under, the text of the file each
// harness reads (a SKILL.md with front matter, a Cursor rule, a Windsurf rule), and
// the folders those files live in.  Slugs come from the server and from
// npx-installed folders, so every one is checked before it becomes a file name.
// Ownership of what kolvex writes is recorded in the cache
// (paths::skill_folders_manifest) as the SHA-256 of each file written, so a file the
// user edited, or one the npx installer replaced, is neither overwritten nor removed.

#include "core/value.hpp"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

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

// The public package of platform skills that `npx skills add` installs.
inline constexpr std::string_view SKILLS_PACKAGE = "kolvex/engineering";

// The npx installer's lock manifest in the repository root, and the folder it
// installs skills into (which Codex reads as its own).
inline constexpr std::string_view k_npx_lock_file = "skills-lock.json";
inline constexpr std::string_view k_shared_skills_dir = ".agents/skills";

// The slugs of the skills the npx lock manifest records as installed from
// SKILLS_PACKAGE, in its order; unsafe names left out.  Empty when there is no
// manifest or it cannot be read (a link, not JSON, another shape).
[[nodiscard]] std::vector<std::string>
installed_platform_slugs(const std::filesystem::path& repo_root);

// The npx-installed platform skills as skill maps {"slug", "name", "description",
// "content", "source": "platform"}, read from .agents/skills/<slug>/SKILL.md for
// each installed slug; a missing or unreadable file is left out.
[[nodiscard]] core::List read_platform_skills_from_npx(const std::filesystem::path& repo_root);

// Whether the npx install reaches a harness whose skills live in `skills_dir`
// (relative to `repo_root`): platform skills are installed and every one of them
// is present there as <slug>/SKILL.md (the installer links them in).
[[nodiscard]] bool npx_reaches(const std::filesystem::path& repo_root, std::string_view skills_dir);

// Makes the folder `dir` (relative to `repo_root`) hold `skills` in `format`: a
// SKILL.md folder per slug for SkillFormat::skill_md, else one "<slug>.mdc" or
// "<slug>.md" file.  Writes only what changed; removes the files kolvex wrote there
// before for skills no longer listed.  A skill with an unsafe slug is skipped with
// a warning.  A skill wins over the npx installer's own entry of its slug (its
// folder in .agents/skills, a link to that folder, or a copy of it): that entry is
// removed (a link as a link, never written through) and the skill written in its
// place.  Anything else kolvex did not write is left as it is, with one warning
// the first time (the manifest remembers it).  Throws std::system_error when the
// folder cannot be written.
void write_skill_files(const std::filesystem::path& repo_root,
                       std::string_view dir,
                       const core::List& skills,
                       SkillFormat format);

// Takes out every skill file the manifest records kolvex wrote and that still holds
// what kolvex wrote (a file the user edited stays theirs), the skill folders and
// skill directories left empty by that, and their records.  Returns the files
// removed.  Never throws for one file: one that cannot be removed is skipped.
std::vector<std::filesystem::path> remove_skill_files(const std::filesystem::path& repo_root);

} // namespace kolvex::agents::skills
