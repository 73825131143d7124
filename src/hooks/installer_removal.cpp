// The removal half of hooks/installer: taking kolvex's hooks out of every place
// install_hook puts them (setup --remove), and the Entire tool's lines out of the git
// hooks.  Kept apart from the installing (installer.cpp) so that each stays readable
// in one sitting; what both need is in installer_detail.
#include "hooks/installer.hpp"

#include "core/fs.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"
#include "hooks/installer_detail.hpp"
#include "hooks/manager_configs.hpp"
#include "hooks/shell_block.hpp"
#include "hooks/user_files.hpp"

#include <sys/stat.h>

#include <array>
#include <exception>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace kolvex::hooks::installer {

namespace stdfs = std::filesystem;
using core::fs::Confined;
using namespace detail; // the installer's own helpers, shared by its files
using user_files::mode_of;
using user_files::write_file;

namespace {

// A file kolvex's part may be taken out of: where it is read and rewritten, and the
// permission bits a rewrite keeps.
struct Existing {
  Confined at;
  mode_t mode;
};

// `file` when it is a regular file, nullopt when nothing is there.  Throws as
// user_files::locate and mode_of do (a link out of the repository, a FIFO).
std::optional<Existing> existing(const stdfs::path& repo_root, const stdfs::path& file)
{
  Confined at = user_files::locate(repo_root, file);
  const auto mode = mode_of(at);
  if (!mode) {
    return std::nullopt;
  }
  return Existing{std::move(at), *mode};
}

// Takes the block of `spec` out of the shell script `file`; the file goes when
// nothing but the "#!" line kolvex writes into a new hook (or nothing) is left.
void remove_block(const stdfs::path& repo_root,
                  const stdfs::path& file,
                  const HookSpec& spec,
                  HookRemoval& removal)
{
  const auto found = existing(repo_root, file);
  if (!found) {
    return;
  }
  const std::string text = core::fs::read_bytes(found->at);
  const auto interpreter = shell_block::interpreter(text);
  if (!interpreter || !shell_block::is_shell(*interpreter)) {
    if (runs_kolvex(text, spec.command)) {
      ManualStep step = script_step(spec, file, interpreter, {});
      step.take_out = true;
      step.lines = "the lines that run `kolvex " + std::string(spec.command) + "`\n";
      removal.manual.push_back(std::move(step));
    }
    return;
  }
  const auto span = shell_block::find(text, spec.name);
  if (span.found == shell_block::Found::damaged) {
    removal.warnings.push_back("kolvex's block in " + shown(file, repo_root) +
                               " has lost one of its marker lines; take what is left of it out "
                               "by hand");
    return;
  }
  if (span.found == shell_block::Found::none) {
    return;
  }
  const std::string kept = shell_block::remove(text, span);
  if (kept.empty() || kept == "#!/bin/sh\n") {
    core::fs::remove_file(found->at);
    removal.files.push_back({file, true});
    return;
  }
  write_file(found->at, kept, found->mode);
  removal.files.push_back({file, false});
}

// Takes kolvex's entry out of the manager configuration `config` with `remover`.
void remove_from_config(const stdfs::path& repo_root,
                        const stdfs::path& config,
                        const HookSpec& spec,
                        Editor remover,
                        HookRemoval& removal)
{
  const auto found = existing(repo_root, config);
  if (!found) {
    return;
  }
  const std::string text = core::fs::read_text(found->at);
  try {
    const auto edit = remover(text, spec.name, manager_command(spec));
    if (edit.changed) {
      write_file(found->at, edit.text, found->mode);
      removal.files.push_back({config, false});
    }
  } catch (const manager_configs::ConfigLayoutError& refusal) {
    ManualStep step;
    step.hook = std::string(spec.name);
    step.file = config;
    step.why = refusal.what();
    step.lines = "the entry that runs `kolvex " + std::string(spec.command) + "`\n";
    step.take_out = true;
    removal.manual.push_back(std::move(step));
  }
}

// Whether a lefthook YAML configuration of `repo_root` still has a `hook` section.
bool lefthook_runs(const stdfs::path& repo_root, std::string_view hook)
{
  for (const auto name : k_lefthook_configs) {
    try {
      const Confined at = user_files::locate(repo_root, repo_root / name);
      if (!core::fs::regular_file_exists(at)) {
        continue;
      }
      const core::Value config = core::yaml::load(core::fs::read_text(at));
      if (!config.is_map() || config.get(hook) != nullptr) {
        return true;
      }
    } catch (const std::exception&) {
      return true; // unreadable: assume it does, and keep its script
    }
  }
  return false;
}

} // namespace

HookRemoval uninstall_hook(const stdfs::path& repo_root, const HookSpec& spec)
{
  HookRemoval removal;
  removal.hook = std::string(spec.name);
  const stdfs::path hooks = hooks_dir(repo_root);
  // Each place on its own: a link or a special file at one leaves the others to do.
  const auto guarded = [&](const stdfs::path& file, const auto& step) {
    try {
      step();
    } catch (const std::system_error& e) {
      removal.warnings.push_back("Left " + shown(file, repo_root) + " alone: " + e.what());
    }
  };
  bool lefthook_edited = false;
  for (const auto name : k_lefthook_configs) {
    guarded(repo_root / name, [&] {
      const std::size_t before = removal.files.size();
      remove_from_config(
          repo_root, repo_root / name, spec, &manager_configs::remove_from_lefthook, removal);
      lefthook_edited = lefthook_edited || removal.files.size() > before;
    });
  }
  for (const auto name : k_lefthook_other_configs) {
    guarded(repo_root / name, [&] {
      const Confined at = user_files::locate(repo_root, repo_root / name);
      if (core::fs::regular_file_exists(at) &&
          runs_kolvex(core::fs::read_bytes(at), spec.command)) {
        ManualStep step = lefthook_step(spec, repo_root / name);
        step.take_out = true;
        removal.manual.push_back(std::move(step));
      }
    });
  }
  guarded(repo_root / k_pre_commit_config, [&] {
    remove_from_config(repo_root,
                       repo_root / k_pre_commit_config,
                       spec,
                       &manager_configs::remove_from_pre_commit,
                       removal);
  });
  if (!present(hooks) || !stdfs::is_directory(hooks)) {
    return removal;
  }
  const stdfs::path hook = hooks / spec.name;
  guarded(hook, [&] {
    const Confined at = user_files::locate(repo_root, hook);
    // The script `lefthook install` made for the section kolvex added runs nothing now.
    if (lefthook_edited && file_contains(at, k_lefthook_sign) &&
        !lefthook_runs(repo_root, spec.name)) {
      core::fs::remove_file(at);
      removal.files.push_back({hook, true});
      return;
    }
    remove_block(repo_root, hook, spec, removal);
  });
  if (is_husky_dir(hooks)) {
    const stdfs::path script = hooks.parent_path() / spec.name;
    guarded(script, [&] { remove_block(repo_root, script, spec, removal); });
  }
  return removal;
}

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
    std::optional<Existing> found;
    try {
      found = existing(repo_root, hook);
    } catch (const std::system_error&) {
      continue; // refused (and named) by the one that refused it
    }
    if (!found) {
      continue;
    }
    const std::string content = core::fs::read_bytes(found->at);
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
      core::fs::remove_file(found->at);
    } else {
      write_file(found->at, kept, found->mode);
    }
    changed.push_back(hook);
  }
  return changed;
}

} // namespace kolvex::hooks::installer
