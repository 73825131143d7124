#include "paths.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace kolvex::paths {

namespace {

// Enough for any path git writes into a pointer file.
constexpr std::size_t k_pointer_max = 4096;

// The text of the regular file `file` (not followed when a link), at most
// k_pointer_max bytes, without trailing line ends; nullopt otherwise.  A FIFO or a
// device must not stall a hook, hence O_NONBLOCK and the fstat check.
std::optional<std::string> read_pointer(const path& file)
{
  const int fd = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  struct stat st {};
  std::string text;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::size_t>(st.st_size) <= k_pointer_max) {
    text.resize(k_pointer_max);
    const ssize_t n = ::read(fd, text.data(), text.size());
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  }
  ::close(fd);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
    text.pop_back();
  }
  if (text.empty()) {
    return std::nullopt;
  }
  return text;
}

// `target` as git means it in a file of directory `base`: relative paths are from there.
path resolved(const path& base, const std::string& target)
{
  const path p(target);
  return (p.is_absolute() ? p : base / p).lexically_normal();
}

} // namespace

// A linked worktree's ".git" is a file "gitdir: <its git directory>", and that
// directory, <common dir>/worktrees/<name>, names the common directory in its
// "commondir" file.  The main worktree is the common directory's parent when that
// directory is a ".git", as git itself takes it; anything else is not trusted.
std::optional<path> main_worktree(const path& repo_root)
{
  const auto gitfile = read_pointer(repo_root / ".git");
  constexpr std::string_view k_prefix = "gitdir: ";
  if (!gitfile || !gitfile->starts_with(k_prefix)) {
    return std::nullopt;
  }
  path gitdir = resolved(repo_root, gitfile->substr(k_prefix.size()));
  if (!gitdir.has_filename()) {
    gitdir = gitdir.parent_path();
  }
  const auto commondir = read_pointer(gitdir / "commondir");
  if (!commondir) {
    return std::nullopt;
  }
  path common = resolved(gitdir, *commondir);
  if (!common.has_filename()) {
    common = common.parent_path();
  }
  if (common.filename() != ".git" || gitdir.parent_path() != common / "worktrees") {
    return std::nullopt;
  }
  struct stat st {};
  const path main = common.parent_path();
  if (::stat(main.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return std::nullopt;
  }
  return main;
}

path records_root(const path& repo_root)
{
  auto main = main_worktree(repo_root);
  return main ? *main : repo_root;
}

path kolvex_dir(const path& repo_root)
{
  return repo_root / ".kolvex";
}

path commit_attestation(const path& repo_root)
{
  return kolvex_dir(repo_root) / ".commit-attestation.yaml";
}

path rejected_attestation(const path& repo_root)
{
  return kolvex_dir(repo_root) / ".commit-attestation.yaml.rejected";
}

path example_attestation(const path& repo_root)
{
  return kolvex_dir(repo_root) / "example-attestation.yaml";
}

path docs_dir(const path& repo_root)
{
  return kolvex_dir(repo_root) / "docs";
}

path legacy_config_yaml(const path& repo_root)
{
  return kolvex_dir(records_root(repo_root)) / "config.yaml";
}

path legacy_config_json(const path& repo_root)
{
  return kolvex_dir(records_root(repo_root)) / "config.json";
}

path legacy_log(const path& repo_root)
{
  return records_root(repo_root) / ".kolvexlog";
}

path platform_dir(const path& repo_root)
{
  return kolvex_dir(records_root(repo_root)) / ".platform";
}

path local_config(const path& repo_root)
{
  return platform_dir(repo_root) / "config.yaml";
}

path log_jsonl(const path& repo_root)
{
  return platform_dir(repo_root) / "log.jsonl";
}

path post_tool_due(const path& repo_root)
{
  return platform_dir(repo_root) / "post-tool-due";
}

path attestations_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "attestations";
}

path archived_ledger(const path& repo_root, std::string_view commit)
{
  return attestations_dir(repo_root) / (std::string(commit) + ".ledger.jsonl");
}

core::fs::Confined unlogged_dir(const core::fs::Confined& attestations)
{
  return attestations / ".unlogged";
}

core::fs::Confined unlogged_note(const core::fs::Confined& attestations, std::string_view commit)
{
  return unlogged_dir(attestations) / (std::string(commit) + ".jsonl");
}

path rules_file(const path& repo_root)
{
  return platform_dir(repo_root) / "kolvexrules.yaml";
}

path state_file(const path& repo_root)
{
  return platform_dir(repo_root) / "kolvexstate.yaml";
}

path specs_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "specs";
}

path skills_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "skills";
}

path guidance_file(const path& repo_root)
{
  return platform_dir(repo_root) / "guidance.md";
}

path memories_file(const path& repo_root)
{
  return platform_dir(repo_root) / "memories.json";
}

path guidance_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "guidance";
}

path context_file(const path& repo_root)
{
  return platform_dir(repo_root) / "context.yaml";
}

path system_context_file(const path& repo_root)
{
  return platform_dir(repo_root) / "system-context.yaml";
}

path skill_folders_manifest(const path& repo_root)
{
  return platform_dir(repo_root) / "skill-folders.json";
}

path platform_skills_install(const path& repo_root)
{
  return platform_dir(repo_root) / "platform-skills-install.json";
}

path ledgers_dir(const path& repo_root)
{
  return kolvex_dir(repo_root) / ".platform" / "ledgers";
}

path ledger_jsonl(const path& repo_root, std::string_view slug)
{
  return ledgers_dir(repo_root) / (std::string(slug) + ".jsonl");
}

path ledger_pointer(const path& repo_root)
{
  return ledgers_dir(repo_root) / "current";
}

path logs_dir(const path& repo_root)
{
  return platform_dir(repo_root) / "logs";
}

path sync_log(const path& repo_root)
{
  return logs_dir(repo_root) / "sync.log";
}

core::fs::Confined confined(const path& p)
{
  return core::fs::confine_at(p, ".kolvex");
}

core::fs::Confined confined(const path& repo_root, const path& p)
{
  path rel = p.lexically_relative(repo_root);
  if (rel.empty() || *rel.begin() == "..") {
    return confined(p); // not beneath it after all: anchor where the path says
  }
  return {repo_root, std::move(rel)};
}

} // namespace kolvex::paths
