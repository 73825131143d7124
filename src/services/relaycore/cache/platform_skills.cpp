#include "services/relaycore/cache/platform_skills.hpp"

#include "core/clock.hpp"
#include "core/errors.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/process.hpp"
#include "hooks/agent_guidance.hpp"
#include "paths.hpp"
#include "repository_handle.hpp"

#include <algorithm>
#include <cerrno>
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

// The manifest's size limit when carried over.
constexpr std::size_t k_max_lock = 4 << 20;
// A carried skill's file size limit.
constexpr std::size_t k_max_skill_file = 4 << 20;

// Where the scratch directories go: the user's cache ($XDG_CACHE_HOME, else
// ~/.cache), whose parents are the user's.  npx puts the node_modules/.bin of every
// directory above its working directory on its PATH, so a world-writable parent
// such as /tmp would let anyone choose what runs.
stdfs::path scratch_parent()
{
  const char* xdg = std::getenv("XDG_CACHE_HOME");
  if (xdg != nullptr && stdfs::path(xdg).is_absolute()) {
    return stdfs::path(xdg) / "kolvex";
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && stdfs::path(home).is_absolute()) {
    return stdfs::path(home) / ".cache" / "kolvex";
  }
  return stdfs::temp_directory_path();
}

// A fresh owner-only directory (mkdtemp) under scratch_parent(), removed with
// everything in it.
class PrivateDir {
public:
  PrivateDir()
  {
    const stdfs::path parent = scratch_parent();
    stdfs::create_directories(parent);
    std::string name = (parent / "npx-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    m_path = name;
  }
  PrivateDir(const PrivateDir&) = delete;
  PrivateDir& operator=(const PrivateDir&) = delete;
  ~PrivateDir()
  {
    try {
      (void)core::fs::remove_tree({m_path.parent_path(), m_path.filename()});
    } catch (const std::exception& e) {
      k_log.debug_exception("Removing " + m_path.string() + " failed (best-effort)", e);
    }
  }
  [[nodiscard]] const stdfs::path& path() const { return m_path; }

private:
  stdfs::path m_path;
};

// Copies the regular files and real directories of the tree `from` to `to`
// (links and special files are left behind), replacing files of the same name.
void carry_tree(const core::fs::Confined& from, const core::fs::Confined& to)
{
  core::fs::create_directories(to);
  for (const std::string& name : core::fs::list_regular_files(from)) {
    core::fs::atomic_replace(to / name, core::fs::read_bytes(from / name, k_max_skill_file), 0644);
  }
  for (const std::string& name : core::fs::list_directories(from)) {
    carry_tree(from / name, to / name);
  }
}

// The repository's lock manifest `lock` with the entries of `installed` (npx's
// fresh one) put in, so that skills the project installed itself stay listed;
// `installed` as it is when the old one is missing or has another shape.
std::string merged_lock(const core::fs::Confined& lock, const std::string& installed)
{
  if (!core::fs::regular_file_exists(lock)) {
    return installed;
  }
  try {
    core::Value old = core::json::parse(core::fs::read_text(lock, k_max_lock));
    const core::Value fresh = core::json::parse(installed);
    const core::Value* fresh_skills = fresh.get("skills");
    core::Value* old_skills = old.is_map() ? old.as_map().find("skills") : nullptr;
    if (fresh_skills == nullptr || !fresh_skills->is_map() || old_skills == nullptr ||
        !old_skills->is_map()) {
      return installed;
    }
    for (const auto& [name, entry] : fresh_skills->as_map()) {
      old_skills->as_map().set(name, entry);
    }
    return core::json::dump_indented(old, 2) + "\n";
  } catch (const std::exception& e) {
    k_log.debug_exception("The lock manifest could not be merged (best-effort)", e);
    return installed;
  }
}

core::List concatenated(const core::List& first, const core::List& second)
{
  core::List out = first;
  out.insert(out.end(), second.begin(), second.end());
  return out;
}

// What the user reads when sync starts the installer.
const std::string k_announcement =
    "Installing platform skills: npx -y skills add " + std::string(SKILLS_PACKAGE) + " -y";

// The last failed install: when (epoch seconds), for which wanted platform slugs
// (sorted), and why.
struct Backoff {
  std::int64_t failed_at = 0;
  std::vector<std::string> wanted;
  std::string reason;
};

std::int64_t backoff_seconds()
{
  return std::chrono::duration_cast<std::chrono::seconds>(k_install_backoff).count();
}

std::vector<std::string> sorted(std::vector<std::string> slugs)
{
  std::sort(slugs.begin(), slugs.end());
  slugs.erase(std::unique(slugs.begin(), slugs.end()), slugs.end());
  return slugs;
}

// The record of the last failure; nullopt when there is none or it is not one we
// wrote (a damaged record only costs one install attempt, never a lasting block).
std::optional<Backoff> read_backoff(const paths::RepositoryHandle& repo)
{
  constexpr std::size_t k_max_record = 64U << 10;
  const core::fs::Confined at = repo.at(paths::platform_skills_install(repo.root()));
  try {
    if (!core::fs::stat_regular(at)) {
      return std::nullopt;
    }
    const core::Value record = core::json::parse(core::fs::read_text(at, k_max_record));
    const core::Value* failed_at = record.get("failed_at");
    const core::Value* wanted = record.get("wanted");
    if (failed_at == nullptr || failed_at->kind() != core::Value::Kind::integer ||
        wanted == nullptr || !wanted->is_list()) {
      return std::nullopt;
    }
    Backoff backoff{.failed_at = failed_at->as_int(),
                    .wanted = {},
                    .reason = record.get_string("reason").value_or("")};
    for (const core::Value& slug : wanted->as_list()) {
      if (!slug.is_string()) {
        return std::nullopt;
      }
      backoff.wanted.push_back(slug.as_string());
    }
    backoff.wanted = sorted(std::move(backoff.wanted));
    return backoff;
  } catch (const std::exception& e) {
    k_log.debug_exception("Platform-skill install record unreadable; retrying", e);
    return std::nullopt;
  }
}

// Whether the failure `last` still holds the install back at `now`.  A failure
// dated in the future (the clock was set back) does not: it could otherwise block
// the install for as long as the clock was wrong.
bool waiting(const Backoff& last,
             const std::optional<std::vector<std::string>>& wanted,
             std::int64_t now)
{
  if (wanted && sorted(*wanted) != last.wanted) {
    return false;
  }
  return last.failed_at <= now && now - last.failed_at < backoff_seconds();
}

void record_backoff(const paths::RepositoryHandle& repo, const Backoff& backoff)
{
  core::List wanted(backoff.wanted.begin(), backoff.wanted.end());
  const core::Map record{{"version", 1},
                         {"failed_at", backoff.failed_at},
                         {"failed_at_utc", core::clock::format_utc(backoff.failed_at)},
                         {"wanted", core::Value(std::move(wanted))},
                         {"reason", backoff.reason}};
  const core::fs::Confined at = repo.at(paths::platform_skills_install(repo.root()));
  core::fs::create_directories(at.parent());
  core::fs::atomic_replace(at, core::json::dump_indented(core::Value(record), 2) + "\n");
}

void clear_backoff(const paths::RepositoryHandle& repo)
{
  try {
    (void)core::fs::remove_file(repo.at(paths::platform_skills_install(repo.root())));
  } catch (const std::exception& e) {
    k_log.debug_exception("Removing the platform-skill install record failed (best-effort)", e);
  }
}

} // namespace

bool install_platform_skills(const stdfs::path& repo_root,
                             std::chrono::milliseconds timeout,
                             std::string* why)
{
  const auto failed = [why](std::string text) {
    if (why != nullptr) {
      *why = std::move(text);
    }
    return false;
  };
  if (const char* skip = std::getenv("KOLVEX_SKIP_PLATFORM_SKILLS");
      skip != nullptr && *skip != '\0') {
    k_log.debug("KOLVEX_SKIP_PLATFORM_SKILLS set \u2014 skipping npx install");
    return false;
  }
  if (!core::process::find_program("npx")) {
    k_log.debug("npx not found \u2014 skipping platform-skill install");
    return false;
  }
  std::error_code ec;
  if (!stdfs::is_directory(repo_root, ec)) {
    k_log.debug("Platform-skill install failed to start: no repository at " + repo_root.string());
    return false;
  }
  // npx takes the package, its binary and its registry settings from the project
  // around its working directory (node_modules/.bin, package.json, .npmrc): in the
  // repository, a clone would choose what runs.  So npx runs in an empty private
  // directory of the user's and what it installed there is carried into the
  // repository.  The directory gets a package.json of its own, so that npm takes
  // it as the project rather than looking further up.
  std::optional<PrivateDir> scratch;
  try {
    scratch.emplace();
    core::fs::atomic_replace(core::fs::Confined{scratch->path(), "package.json"},
                             "{\"name\": \"kolvex-platform-skills\", \"private\": true}\n");
  } catch (const std::system_error& e) {
    k_log.debug_exception("Platform-skill install failed to start", e);
    return failed("could not start (" + core::errors::short_name(e) + ")");
  }
  core::process::Options options;
  options.cwd = scratch->path();
  options.timeout = timeout;
  options.session = core::process::Session::new_group;
  core::process::Result result;
  try {
    result = core::process::run(_SKILLS_INSTALL_CMD, options);
  } catch (const std::system_error& e) {
    k_log.debug_exception("Platform-skill install failed to start", e);
    return failed("could not start npx (" + core::errors::short_name(e) + ")");
  }
  if (result.timed_out) {
    k_log.debug("Platform-skill install timed out; process group killed");
    return failed(
        "npx did not finish within " +
        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
        " s and was stopped");
  }
  if (result.exit_code != 0) {
    k_log.debug("Platform-skill install exited " + std::to_string(result.exit_code));
    return failed("npx exited with status " + std::to_string(result.exit_code));
  }
  try {
    if (!_carry_platform_skills(scratch->path(), repo_root)) {
      return failed("npx finished but installed no platform skill");
    }
    return true;
  } catch (const std::exception& e) {
    k_log.debug_exception("Platform-skill install could not be carried into the repository", e);
    return failed("could not copy the skills into the repository (" + core::errors::short_name(e) +
                  ")");
  }
}

bool _carry_platform_skills(const stdfs::path& from, const stdfs::path& repo_root)
{
  const std::vector<std::string> slugs = guidance::installed_platform_slugs(from);
  if (slugs.empty()) {
    k_log.debug("npx installed no platform skill");
    return false;
  }
  for (const std::string& slug : slugs) {
    const stdfs::path folder = stdfs::path(agents::skills::k_shared_skills_dir) / slug;
    carry_tree({from, folder}, {repo_root, folder});
  }
  const core::fs::Confined lock{repo_root, agents::skills::k_npx_lock_file};
  const std::string installed =
      core::fs::read_text(core::fs::Confined{from, agents::skills::k_npx_lock_file}, k_max_lock);
  core::fs::atomic_replace(lock, merged_lock(lock, installed), 0644);
  return true;
}

std::vector<std::string>
ensure_platform_skills(const paths::RepositoryHandle& repo,
                       const std::optional<std::vector<std::string>>& wanted,
                       std::chrono::milliseconds timeout)
{
  try {
    if (!guidance::installed_platform_slugs(repo.root()).empty()) {
      return {};
    }
    const std::optional<Backoff> last = read_backoff(repo);
    const std::int64_t now = static_cast<std::int64_t>(core::clock::now_seconds());
    if (last && waiting(*last, wanted, now)) {
      k_log.debug("Platform-skill install failed at " + core::clock::format_utc(last->failed_at) +
                  "; not retried before " +
                  core::clock::format_utc(last->failed_at + backoff_seconds()));
      return {};
    }
    std::string why;
    if (install_platform_skills(repo.root(), timeout, &why)) {
      clear_backoff(repo);
      return {k_announcement, "Platform skills installed"};
    }
    if (why.empty()) {
      return {}; // skipped or no npx: nothing ran, nothing to say or remember
    }
    // The set the failure is remembered for: a failure while the server's set was
    // unknown stands for the set recorded before.
    const std::vector<std::string> failed_for =
        wanted ? sorted(*wanted) : (last ? last->wanted : std::vector<std::string>{});
    record_backoff(repo, {.failed_at = now, .wanted = failed_for, .reason = why});
    return {k_announcement,
            "Platform skills not installed: " + why + "; next try in " +
                std::to_string(k_install_backoff.count()) +
                " hours, or sooner if the platform skill set changes"};
  } catch (const std::exception& e) {
    k_log.debug_exception("Platform-skill install bookkeeping failed (best-effort)", e);
    return {};
  }
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
    guidance::write_rule_skills(repo_root, all);
  } catch (const std::exception& e) {
    k_log.debug_exception("Cursor/Windsurf skill distribution skipped (best-effort)", e);
  }
}

} // namespace kolvex::services::relaycore::cache
