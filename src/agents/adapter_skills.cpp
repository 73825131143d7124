// Each adapter's part in skill distribution: where its harness reads skills.  The
// writing itself is skill_folders' for all of them.
#include "agents/claude_code.hpp"
#include "agents/codex.hpp"
#include "agents/gemini_cli.hpp"
#include "agents/simple_adapters.hpp"
#include "agents/skill_folders.hpp"

namespace kolvex::agents {

namespace {

constexpr std::string_view k_claude_skills = ".claude/skills";
constexpr std::string_view k_gemini_skills = ".gemini/skills";

} // namespace

bool ClaudeCodeAdapter::npx_covers_skills(const std::filesystem::path& repo_root) const
{
  return skills::npx_reaches(repo_root, k_claude_skills);
}

void ClaudeCodeAdapter::write_skills(const std::filesystem::path& repo_root,
                                     const core::List& list) const
{
  skills::write_skill_files(repo_root, k_claude_skills, list, skills::SkillFormat::skill_md);
}

bool CodexAdapter::npx_covers_skills(const std::filesystem::path& repo_root) const
{
  return skills::npx_reaches(repo_root, skills::k_shared_skills_dir);
}

void CodexAdapter::write_skills(const std::filesystem::path& repo_root,
                                const core::List& list) const
{
  skills::write_skill_files(
      repo_root, skills::k_shared_skills_dir, list, skills::SkillFormat::skill_md);
}

bool GeminiCliAdapter::npx_covers_skills(const std::filesystem::path& repo_root) const
{
  return skills::npx_reaches(repo_root, k_gemini_skills);
}

void GeminiCliAdapter::write_skills(const std::filesystem::path& repo_root,
                                    const core::List& list) const
{
  skills::write_skill_files(repo_root, k_gemini_skills, list, skills::SkillFormat::skill_md);
}

bool SessionlessAdapter::npx_covers_skills(const std::filesystem::path&) const
{
  return false;
}

void SessionlessAdapter::write_skills(const std::filesystem::path&, const core::List&) const {}

} // namespace kolvex::agents
