#pragma once

// What kolvex tells each agent harness in the repository: a marked block in the
// agent's instruction file (CLAUDE.md, AGENTS.md, GEMINI.md, ...) and the skills as
// Cursor and Windsurf rules.  The user's own text and files are never changed: the
// block is rewritten in place, and only rule files kolvex wrote are replaced.

#include "agents/skills.hpp"
#include "core/value.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::hooks::agent_guidance {

using agents::skills::SkillFormat;
using agents::skills::UnsafeSlugError;

// The slug of the skill map `skill` (agents::skills::extract_slug); throws
// UnsafeSlugError.
[[nodiscard]] std::string _extract_slug(const core::Value& skill);

// `slug` as text when safe as a file name; throws UnsafeSlugError naming `source`.
std::string _validate_slug(const core::Value& slug, std::string_view source);

// The text of the file `skill` is written as, in `fmt` (SKILL.md by default).
[[nodiscard]] std::string _build_skill_file(const core::Value& skill,
                                            SkillFormat fmt = SkillFormat::skill_md);

// The npx lock manifest's platform skills, and those skills read from .agents/skills.
using agents::skills::installed_platform_slugs;
using agents::skills::read_platform_skills_from_npx;

// Writes `skills` as rules into the rule folder of each harness that reads rules
// (Cursor's .cursor/rules/<slug>.mdc, Windsurf's .windsurf/rules/<slug>.md) and is
// used in the repository (its files are there, or the local configuration names
// it); writes nothing for the others.  Throws std::system_error.
void write_rule_skills(const std::filesystem::path& repo_root, const core::List& skills);

// The agents whose repository markers are in `repo_root` (CLAUDE.md or .claude for
// claude-code, AGENTS.md or .codex for codex, ...), in registry order.
[[nodiscard]] std::vector<std::string> detect_agents(const std::filesystem::path& repo_root);

// The instruction file of `agent` (any spelling normalize_agent_name knows),
// relative to `repo_root`, as its descriptor says: CLAUDE.md, AGENTS.md (codex,
// cursor), GEMINI.md, or the first Markdown file .aider.conf.yml names under "read";
// nullopt for an agent without one (windsurf, unknown names).
[[nodiscard]] std::optional<std::filesystem::path>
instruction_file(const std::filesystem::path& repo_root, std::string_view agent);

// The lines that open and close kolvex's block in an instruction file.
inline constexpr std::string_view k_block_begin =
    "<!-- kolvex:begin (written by kolvex sync; edits inside this block are replaced) -->";
inline constexpr std::string_view k_block_end = "<!-- kolvex:end -->";

// The block for project `project_id` listing `skills` (slug and description of each
// skill with a safe slug), lines ended with `line_end`.  The same inputs always
// give the same text, so an unchanged project rewrites nothing.
[[nodiscard]] std::string _guidance_block(std::string_view project_id,
                                          const std::optional<core::List>& skills,
                                          std::string_view line_end = "\n");

// `text` with its kolvex block replaced by `block`, every byte around it kept;
// without a block, `block` appended after a blank line.  A block runs from a line
// that is the begin marker to the next line that is k_block_end, each a whole line
// (blanks around it allowed) outside fenced code (``` or ~~~), so that a file
// showing the markers in an example is not cut there (a fence the file leaves
// open is closed before an appended block).  A leading byte-order mark is kept.  Only the first
// block is replaced; `duplicates`, when given, is set to how many more whole blocks follow (left as
// they are).  nullopt when the first block opens and never closes: guessing where it ended could
// eat the user's text.
[[nodiscard]] std::optional<std::string> _rewrite_marked_block(std::string_view text,
                                                               std::string_view block,
                                                               std::size_t* duplicates = nullptr);

// Rewrites the kolvex block of `agent`'s instruction file in `repo_root` for
// `project_id` and `skills` (creating the file when missing), by atomic replace and
// keeping the file's mode.  A link is followed only to a file inside the
// repository.  Returns whether the file was written: false for an agent without an
// instruction file, an unchanged block, a block without its end line, or a link
// out of the repository (the last two with a warning); a file holding the
// block more than once is written with the first refreshed, and warned about.  Throws
// std::system_error when the file cannot be read or written.
bool write_agent_guidance(const std::filesystem::path& repo_root,
                          std::string_view agent,
                          std::string_view project_id,
                          const std::optional<core::List>& skills = std::nullopt);

// `text` without its first kolvex block (found as _rewrite_marked_block finds it),
// and without the blank line put before a block appended at the end; "" when the
// block was all the file held.  nullopt when there is no whole block.
[[nodiscard]] std::optional<std::string> _remove_marked_block(std::string_view text);

// What taking the block out of one instruction file did.
struct GuidanceRemoval {
  enum class Action { none, updated, deleted };
  Action action = Action::none;
  std::filesystem::path file; // the file changed (a link's target inside the repository)
};

// Takes kolvex's block out of `agent`'s instruction file in `repo_root` (a link
// followed only inside the repository), by atomic replace keeping the file's mode; a
// file that held nothing else is deleted.  Throws std::system_error.
GuidanceRemoval remove_agent_guidance(const std::filesystem::path& repo_root,
                                      std::string_view agent);

} // namespace kolvex::hooks::agent_guidance
