#include "hooks/installer.hpp"

#include "core/fs.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "hooks/user_hooks.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"

#include <array>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <system_error>

namespace kolvex::hooks::installer {

namespace stdfs = std::filesystem;

namespace {

constexpr const char* k_chained_name = "post-commit.kolvex-chained";

bool is_ours(const stdfs::path& hook)
{
  std::error_code ec;
  if (!stdfs::is_regular_file(hook, ec)) {
    return false;
  }
  return core::fs::read_bytes(hook).find(HOOK_MARKER) != std::string::npos;
}

void write_executable(const stdfs::path& path, const std::string& content)
{
  core::fs::atomic_replace(path, content);
  if (::chmod(path.c_str(), 0755) != 0) {
    throw std::system_error(errno, std::generic_category(), "chmod " + path.string());
  }
}

} // namespace

stdfs::path hooks_dir(const stdfs::path& repo_root)
{
  core::process::Options options;
  options.cwd = repo_root;
  auto result = core::process::run({"git", "rev-parse", "--git-path", "hooks"}, options);
  std::string out = result.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
    out.pop_back();
  }
  if (result.exit_code != 0 || out.empty()) {
    throw std::runtime_error("git cannot tell where the hooks of " + repo_root.string() + " live");
  }
  stdfs::path dir(out);
  return dir.is_absolute() ? dir : repo_root / dir;
}

std::string post_commit_script()
{
  // git runs post-commit at the top of the work tree, so the log path can be
  // relative to it.
  const std::string log = paths::log_jsonl(".").lexically_normal().string();
  std::string script = "#!/bin/sh\n";
  script += HOOK_MARKER;
  script += R"sh(
# Records the new commit in kolvex's log.  It never fails and prints nothing, so it
# cannot break or clutter a commit.
chained="$(dirname "$0")/)sh";
  script += k_chained_name;
  script += R"sh("
if [ -x "$chained" ]; then "$chained" "$@"; fi
if command -v kolvex >/dev/null 2>&1 && kolvex sync --record-commit >/dev/null 2>&1; then
  exit 0
fi
# kolvex is missing or crashed: keep a minimal line so that the commit is not lost.
log=')sh";
  script += log;
  script += R"sh('
# A repository can ship links: nothing is written through one, nor into a FIFO or device.
dir=$(dirname "$log")
if [ -d "$dir" ] && [ ! -L "$(dirname "$dir")" ] && [ ! -L "$dir" ] && [ ! -L "$log" ] &&
  { [ -f "$log" ] || [ ! -e "$log" ]; }; then
  sha=$(git rev-parse HEAD 2>/dev/null) || exit 0
  if ! grep -qF "\"commit\": \"$sha\"" "$log" 2>/dev/null; then
    # A torn last line must not swallow this one.
    if [ -s "$log" ] && [ -n "$(tail -c 1 "$log")" ]; then echo >>"$log"; fi 2>/dev/null
    printf '{"commit": "%s", "branch": "unknown", "timestamp": "", "agent": "unknown", "summary": "", "synced": false, "event": "commit_unattested"}\n' "$sha" >>"$log" 2>/dev/null
  fi
fi
exit 0
)sh";
  return script;
}

HookInstall install_post_commit_hook(const stdfs::path& repo_root)
{
  const stdfs::path dir = hooks_dir(repo_root);
  stdfs::create_directories(dir);
  const stdfs::path hook = dir / "post-commit";
  const std::string script = post_commit_script();

  std::error_code ec;
  if (is_ours(hook)) {
    if (core::fs::read_bytes(hook) == script) {
      return {hook, HookAction::already_installed};
    }
    write_executable(hook, script);
    return {hook, HookAction::updated};
  }
  if (stdfs::exists(stdfs::symlink_status(hook, ec))) {
    const stdfs::path chained = dir / k_chained_name;
    if (stdfs::exists(stdfs::symlink_status(chained, ec))) {
      throw std::runtime_error("both " + hook.string() + " and " + chained.string() +
                               " exist; move one of them away and run setup again");
    }
    stdfs::rename(hook, chained);
    write_executable(hook, script);
    return {hook, HookAction::chained};
  }
  write_executable(hook, script);
  return {hook, HookAction::installed};
}

} // namespace kolvex::hooks::installer

namespace kolvex::hooks::installer {

namespace {

// The hooks git runs around a commit and a push, where Entire registers itself.
constexpr std::array<const char*, 8> k_git_hooks{"pre-commit",
                                                 "prepare-commit-msg",
                                                 "commit-msg",
                                                 "post-commit",
                                                 "pre-push",
                                                 "post-checkout",
                                                 "post-merge",
                                                 "post-rewrite"};

// Whether `line` runs `entire hooks ...`: its first word is a program named
// "entire" (bare or by path) and its second word "hooks".
bool is_entire_line(std::string_view line)
{
  const auto words = core::text::split(std::string(core::text::trim(line)), ' ');
  std::vector<std::string> present;
  for (const auto& word : words) {
    if (!word.empty()) {
      present.push_back(word);
    }
  }
  if (present.size() < 2 || present[1] != "hooks") {
    return false;
  }
  const std::string& program = present[0];
  return program == "entire" || program.ends_with("/entire");
}

} // namespace

std::vector<stdfs::path> cleanup_entire(const stdfs::path& repo_root)
{
  std::vector<stdfs::path> changed;
  const stdfs::path dir = hooks_dir(repo_root);
  for (const char* name : k_git_hooks) {
    const stdfs::path hook = dir / name;
    struct ::stat stat {};
    if (::stat(hook.c_str(), &stat) != 0 || !S_ISREG(stat.st_mode)) {
      continue;
    }
    const std::string content = core::fs::read_bytes(hook);
    std::string kept;
    bool removed = false;
    bool substance = false;
    std::size_t start = 0;
    while (start < content.size()) {
      std::size_t end = content.find('\n', start);
      end = end == std::string::npos ? content.size() : end + 1;
      const std::string_view line(content.data() + start, end - start);
      if (is_entire_line(line)) {
        removed = true;
      } else {
        kept.append(line);
        const std::string_view text = core::text::trim(line);
        substance = substance || (!text.empty() && !text.starts_with("#!"));
      }
      start = end;
    }
    if (!removed) {
      continue;
    }
    if (!substance) {
      stdfs::remove(hook);
    } else {
      core::fs::atomic_replace(hook, kept);
      if (::chmod(hook.c_str(), stat.st_mode & 07777) != 0) {
        throw std::system_error(errno, std::generic_category(), "chmod " + hook.string());
      }
    }
    changed.push_back(hook);
  }
  return changed;
}

int _install_session_start_hook(const stdfs::path& repo_root,
                                const std::optional<std::vector<std::string>>& agents)
{
  if (!agents || agents->empty()) {
    return 0;
  }
  const core::Value* wanted = services::shared::load_local_config(repo_root).find("user_hooks");
  if (wanted != nullptr && wanted->is_bool() && !wanted->as_bool()) {
    return 0;
  }
  int changed = 0;
  for (const auto& change : user_hooks::install_user_session_hooks(*agents)) {
    if (change.action == user_hooks::UserHookAction::failed) {
      throw std::runtime_error(change.message());
    }
    changed += change.action == user_hooks::UserHookAction::added ? 1 : 0;
  }
  return changed;
}

} // namespace kolvex::hooks::installer
