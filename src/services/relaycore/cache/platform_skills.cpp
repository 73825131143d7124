#include "services/relaycore/cache/platform_skills.hpp"

#include "core/logging.hpp"
#include "core/process.hpp"
#include "hooks/agent_guidance.hpp"

#include <cstdlib>
#include <optional>
#include <set>
#include <system_error>

namespace kolvex::services::relaycore::cache {

namespace {

namespace stdfs = std::filesystem;
namespace guidance = hooks::agent_guidance;

const core::logging::Logger k_log("kolvex.relaycore.cache.platform_skills");

std::optional<std::string> slug_or_none(const core::Value& skill)
{
  try {
    return guidance::_extract_slug(skill);
  } catch (const guidance::UnsafeSlugError&) {
    return std::nullopt;
  }
}

core::List concatenated(const core::List& first, const core::List& second)
{
  core::List out = first;
  out.insert(out.end(), second.begin(), second.end());
  return out;
}

} // namespace

bool install_platform_skills(const stdfs::path& repo_root, std::chrono::milliseconds timeout)
{
  if (const char* skip = std::getenv("KOLVEX_SKIP_PLATFORM_SKILLS");
      skip != nullptr && *skip != '\0') {
    k_log.debug("KOLVEX_SKIP_PLATFORM_SKILLS set \u2014 skipping npx install");
    return false;
  }
  if (!core::process::find_program("npx")) {
    k_log.debug("npx not found \u2014 skipping platform-skill install");
    return false;
  }
  core::process::Options options;
  options.cwd = repo_root;
  options.timeout = timeout;
  options.session = core::process::Session::new_group;
  core::process::Result result;
  try {
    result = core::process::run(_SKILLS_INSTALL_CMD, options);
  } catch (const std::system_error& e) {
    k_log.debug_exception("Platform-skill install failed to start", e);
    return false;
  }
  if (result.timed_out) {
    k_log.debug("Platform-skill install timed out; process group killed");
    return false;
  }
  if (result.exit_code != 0) {
    k_log.debug("Platform-skill install exited " + std::to_string(result.exit_code));
    return false;
  }
  std::error_code ec;
  if (stdfs::is_directory(repo_root / "agent" / "skills", ec)) {
    k_log.debug("npx skills wrote a stray `agent/` dir (upstream issue); gitignored, not removed");
  }
  return true;
}

void ensure_platform_skills(const stdfs::path& repo_root)
{
  if (!guidance::installed_platform_slugs(repo_root).empty()) {
    return;
  }
  (void)install_platform_skills(repo_root);
}

void _distribute_skills(const stdfs::path& repo_root,
                        const core::List& skills_list,
                        const std::vector<const contracts::AgentAdapter*>& adapters)
{
  const core::List npx_platform_skills = guidance::read_platform_skills_from_npx(repo_root);
  const bool npx_present = !npx_platform_skills.empty();

  core::List platform_skills;
  core::List custom_skills;
  for (const core::Value& skill : skills_list) {
    (skill.get_string("source") == "platform" ? platform_skills : custom_skills).push_back(skill);
  }
  std::set<std::string> custom_slugs;
  for (const core::Value& skill : custom_skills) {
    if (auto slug = slug_or_none(skill); slug && !slug->empty()) {
      custom_slugs.insert(std::move(*slug));
    }
  }
  // The server orders project, then system, then platform skills: a custom skill
  // wins over a platform one of the same slug.  With npx present its set replaces
  // the server's platform feed entirely.
  core::List bridged_platform;
  for (const core::Value& skill : npx_present ? npx_platform_skills : platform_skills) {
    const auto slug = slug_or_none(skill);
    if (!slug || !custom_slugs.contains(*slug)) {
      bridged_platform.push_back(skill);
    }
  }

  for (const contracts::AgentAdapter* adapter : adapters) {
    const bool covered = adapter->npx_covers_skills(repo_root);
    try {
      adapter->write_skills(
          repo_root, covered ? custom_skills : concatenated(custom_skills, bridged_platform));
    } catch (const std::exception& e) {
      k_log.debug_exception("Skill distribution skipped for " + adapter->name(), e);
    }
  }
  try {
    const core::List all = concatenated(custom_skills, bridged_platform);
    guidance::write_cursor_skills(repo_root, all);
    guidance::write_windsurf_skills(repo_root, all);
  } catch (const std::exception& e) {
    k_log.debug_exception("Cursor/Windsurf skill distribution skipped (best-effort)", e);
  }
}

} // namespace kolvex::services::relaycore::cache
