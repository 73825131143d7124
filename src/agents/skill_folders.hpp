#pragma once

// The skill folders harnesses read in a repository, shared by every adapter's
// write_skills: which platform skills the npx installer put there, and writing a
// list of skills into one harness's folder without ever touching a file kolvex did
// not write.  Ownership is recorded in the cache (paths::skill_folders_manifest) as
// the SHA-256 of each file written, so a file the user edited, or one the npx
// installer replaced, is neither overwritten nor removed.

#include "agents/skill_files.hpp"
#include "contracts/agent_adapter.hpp"
#include "core/value.hpp"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kolvex::agents::skills {

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
// a warning; so is a file kolvex did not write, which is left as it is.  Throws
// std::system_error when the folder cannot be reached (core::fs::UnsafePathError
// for a link on the way) or written.
void write_skill_files(const std::filesystem::path& repo_root,
                       std::string_view dir,
                       const core::List& skills,
                       SkillFormat format);

} // namespace kolvex::agents::skills

namespace kolvex::agents {

// An adapter whose harness reads SKILL.md folders from one directory of the
// repository: its npx coverage and its skill writing are skill_folders' for that
// directory.
class SkillFolderAdapter : public contracts::AgentAdapter {
public:
  // skills::npx_reaches for the harness's directory.
  [[nodiscard]] bool npx_covers_skills(const std::filesystem::path& repo_root) const override;
  // skills::write_skill_files of `skills` as SKILL.md folders in that directory.
  void write_skills(const std::filesystem::path& repo_root,
                    const core::List& skills) const override;

protected:
  // `skills_dir`: where the harness reads skills, relative to the repository root.
  explicit SkillFolderAdapter(std::string_view skills_dir) : m_skills_dir(skills_dir) {}

private:
  std::string_view m_skills_dir;
};

} // namespace kolvex::agents
