#include "commands/setup.hpp"

#include "frontend/command_values.hpp"
#include "frontend/notes_setting.hpp"
#include "services/relaycore/sync/notes.hpp"

#include "agents/registry.hpp"
#include "agents/skills.hpp"
#include "core/clock.hpp"
#include "core/fs.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "display/output.hpp"
#include "hooks/agent_guidance.hpp"
#include "hooks/installer.hpp"
#include "hooks/scripts.hpp"
#include "hooks/user_hooks.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"
#include "services/mcp_registration.hpp"
#include "services/repository.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <system_error>

#include <unistd.h>

namespace kolvex::commands {

namespace {

namespace stdfs = std::filesystem;
namespace output = display::output;
namespace shared = services::shared;
using hooks::installer::HookAction;

// `path` as the user knows it: relative to the repository when inside it.
std::string shown(const stdfs::path& path, const stdfs::path& repo_root)
{
  const stdfs::path relative = path.lexically_relative(repo_root);
  if (relative.empty() || *relative.begin() == "..") {
    return path.string();
  }
  return relative.string();
}

std::string joined(const std::vector<std::string>& names)
{
  return names.empty() ? std::string("none") : core::text::join(names, ", ");
}

// ---- Steps ---------------------------------------------------------------------

// What one run of setup carries from step to step.
struct SetupRun {
  // The kolvex running setup (absolute), which a hook runs when no kolvex is on its
  // PATH; empty when it cannot be told.
  stdfs::path program;
  // Whether `kolvex` is found on this PATH.
  bool on_path = false;
  // What the user must add by hand to files kolvex cannot edit.
  std::vector<hooks::installer::ManualStep> manual;
  // Whether the missing kolvex on PATH has been warned of (once a run is enough).
  bool path_warned = false;
};

SetupRun start_run()
{
  SetupRun run;
  std::error_code ec;
  const stdfs::path self = stdfs::canonical("/proc/self/exe", ec);
  if (!ec) {
    run.program = self;
  }
  run.on_path = core::process::find_program("kolvex").has_value();
  return run;
}

// The local configuration: "installed_at" once, "agents" as named, else the ones
// already listed plus any newly installed; every other key is kept.
void write_local_config(const stdfs::path& repo_root, const SetupOptions& options, SetupRun&)
{
  const core::Map config = shared::load_local_config(repo_root);
  core::Map updated = config;
  const core::Value* installed_at = config.find("installed_at");
  if (installed_at == nullptr || !core::truthy(*installed_at)) {
    updated.set("installed_at", core::clock::utc_now_iso());
  }
  std::vector<std::string> agents = options.agents;
  if (agents.empty()) {
    agents = shared::configured_agents(config);
    for (auto& name : detect_installed_agents()) {
      if (std::find(agents.begin(), agents.end(), name) == agents.end()) {
        agents.push_back(std::move(name));
      }
    }
  }
  core::List list(agents.begin(), agents.end());
  updated.set("agents", core::Value(std::move(list)));
  if (options.project_id) {
    updated.set("project_id", core::Value(*options.project_id));
  }
  // Remembered so that the sync's self-heal does not put back what was declined.
  if (!options.user_hooks) {
    updated.set("user_hooks", core::Value(false));
  } else {
    updated.erase("user_hooks");
  }

  const stdfs::path target = paths::local_config(repo_root);
  const bool exists = core::fs::regular_file_exists(paths::confined(repo_root, target));
  if (exists && updated == config) {
    output::info("Local configuration already set up: " + shown(target, repo_root) +
                 " (agents: " + joined(agents) + ")");
  } else {
    shared::save_local_config(repo_root, updated);
    output::success(
        std::string(exists ? "Updated " : "Wrote ") + shown(target, repo_root) +
        " (agents: " + joined(agents) +
        (options.project_id ? ", project " + std::to_string(*options.project_id) : std::string()) +
        ")");
  }
  if (agents.empty()) {
    output::warning("No agent harness found on this machine; name yours with --agent.");
  }
}

void update_gitignore(const stdfs::path& repo_root, const SetupOptions&, SetupRun&)
{
  const auto added = shared::ensure_gitignore(repo_root);
  if (added.empty()) {
    output::info(".gitignore already keeps kolvex's private files out of git");
  } else {
    output::success("Added to .gitignore: " + core::text::join(added, ", "));
  }
}

// A git hook goes in the way this repository runs its hooks; setup says which way
// it took and what, if anything, the user must still do.
void install_git_hook(const stdfs::path& repo_root,
                      const hooks::installer::HookSpec& spec,
                      SetupRun& run)
{
  const auto install = hooks::installer::install_hook(repo_root, spec, run.program);
  if (install.action == HookAction::manual) {
    output::warning(install.message(repo_root) + ": it needs the lines shown at the end");
    run.manual.push_back(*install.manual);
    return;
  }
  if (!install.restored.empty()) {
    output::success("Put back " + shown(install.restored, repo_root) +
                    ", the hook an earlier kolvex had moved aside");
  }
  if (install.action == HookAction::already_installed) {
    output::info(install.message(repo_root));
  } else {
    output::success(install.message(repo_root));
  }
  if (install.needs_user) {
    output::warning(install.activation);
  } else if (!install.activation.empty()) {
    output::info(install.activation);
  }
  // A hook of this clone names the kolvex running setup and finds it off PATH too;
  // one the team shares cannot, and without kolvex keeps only the commit's sha.
  if (run.on_path || run.path_warned || install.records_program) {
    return;
  }
  const std::string where = run.program.empty()
                                ? std::string("the directory kolvex is installed in")
                                : run.program.parent_path().string();
  output::warning("kolvex is not on PATH, so the " + install.hook +
                  " hook cannot run it and keeps only a minimal record of each commit: add " +
                  where + " to PATH (where git and your editor start), then commit as usual");
  run.path_warned = true;
}

void install_hook(const stdfs::path& repo_root, const SetupOptions&, SetupRun& run)
{
  install_git_hook(repo_root, hooks::installer::POST_COMMIT, run);
}

void install_rewrite_hook(const stdfs::path& repo_root, const SetupOptions&, SetupRun& run)
{
  install_git_hook(repo_root, hooks::installer::POST_REWRITE, run);
}

void install_merge_hook(const stdfs::path& repo_root, const SetupOptions&, SetupRun& run)
{
  install_git_hook(repo_root, hooks::installer::POST_MERGE, run);
}

void write_example_attestation(const stdfs::path& repo_root, const SetupOptions&, SetupRun&)
{
  const stdfs::path target = paths::example_attestation(repo_root);
  const std::string content = hooks::scripts::example_attestation();
  const core::fs::Confined at = paths::confined(repo_root, target);
  if (core::fs::regular_file_exists(at) && core::fs::read_bytes(at) == content) {
    output::info("Example attestation already up to date: " + shown(target, repo_root));
    return;
  }
  core::fs::create_directories(at.parent());
  // A file for people and agents to read, not a private one.
  core::fs::atomic_replace(at, content, 0644);
  output::success("Wrote the example attestation: " + shown(target, repo_root));
}

// The session-start hook and the post-tool row live in the user's own harness
// settings, not in the repository: they fire everywhere and do nothing where kolvex
// is not set up.  A settings file we cannot merge into is left alone and fails the
// step.
void register_user_hooks(const stdfs::path& repo_root, const SetupOptions& options, SetupRun&)
{
  if (!options.user_hooks) {
    output::info("Skipped the user-level harness hooks (--no-user-hooks)");
    return;
  }
  const auto changes = hooks::user_hooks::install_user_session_hooks(
      shared::configured_agents(shared::load_local_config(repo_root)));
  std::string failure;
  for (const auto& change : changes) {
    switch (change.action) {
    case hooks::user_hooks::UserHookAction::added:
      output::success(change.message());
      break;
    case hooks::user_hooks::UserHookAction::already_present:
      output::info(change.message());
      break;
    case hooks::user_hooks::UserHookAction::failed:
      if (failure.empty()) {
        failure = change.message(); // one file: the other hooks failed alike
      }
      break;
    }
  }
  if (!failure.empty()) {
    throw std::runtime_error(failure);
  }
}

// The steps in the order they run, with what each sets up; one more step is one more
// line here.
using Step = void (*)(const stdfs::path&, const SetupOptions&, SetupRun&);
struct NamedStep {
  const char* what;
  Step run;
};
constexpr std::array<NamedStep, 7> k_steps{{{"the local configuration", write_local_config},
                                            {"the .gitignore entries", update_gitignore},
                                            {"the git post-commit hook", install_hook},
                                            {"the git post-rewrite hook", install_rewrite_hook},
                                            {"the git post-merge hook", install_merge_hook},
                                            {"the example attestation", write_example_attestation},
                                            {"the user-level harness hooks", register_user_hooks}}};

// The names of the harnesses kolvex knows, for help and errors.
std::string known_agents()
{
  std::vector<std::string> known;
  for (const agents::Harness* harness : agents::harnesses()) {
    known.emplace_back(*harness->name);
  }
  return core::text::join(known, ", ");
}

// The canonical names of `names`, each once, in the order first given.  Throws
// CLI::ValidationError for a name no adapter has.
std::vector<std::string> canonical_agents(const std::vector<std::string>& names)
{
  std::vector<std::string> canonical;
  for (const auto& name : names) {
    const auto* adapter = agents::get_adapter_by_name(name);
    if (adapter == nullptr) {
      throw CLI::ValidationError("--agent",
                                 "unknown agent '" + name + "'; known agents: " + known_agents());
    }
    if (std::find(canonical.begin(), canonical.end(), adapter->name()) == canonical.end()) {
      canonical.push_back(adapter->name());
    }
  }
  return canonical;
}

// The lines the user must add to files kolvex cannot edit, each under the file it
// goes into; false when there are none.
bool print_manual_steps(const stdfs::path& repo_root, const SetupRun& run)
{
  if (run.manual.empty()) {
    return false;
  }
  output::warning("kolvex could not edit every hook itself. Add these lines, then run `kolvex "
                  "setup` again; it recognises them and finishes:");
  for (const auto& step : run.manual) {
    output::console().print(step.message(repo_root));
  }
  return true;
}

// ---- Removal --------------------------------------------------------------------

// Where --remove sets the local configuration aside: kept with the records (the
// project link, the agents), but no longer the file that says the repository is set
// up, so that no hook, session start or sync self-heal puts kolvex back.  A later
// setup takes it up again.
stdfs::path set_aside_config(const stdfs::path& repo_root)
{
  const stdfs::path config = paths::local_config(repo_root);
  return config.parent_path() / ("removed-" + config.filename().string());
}

// What one run of --remove did and left, to say at the end.
struct RemoveRun {
  // Each file changed (false) or deleted (true), in the order first touched.
  std::vector<std::pair<stdfs::path, bool>> files;
  std::vector<hooks::installer::ManualStep> manual;
  std::vector<std::string> warnings;
  // Whether the user-wide harness hooks were taken out.
  bool user_wide = false;

  void touched(const stdfs::path& file, bool deleted)
  {
    for (auto& [path, gone] : files) {
      if (path == file) {
        gone = gone || deleted;
        return;
      }
    }
    files.emplace_back(file, deleted);
  }
};

// .gitignore without the entries setup appends: the run of them that ends the file
// (what ensure_gitignore writes), each once and in its order; the file goes when
// nothing else is left.  Lines the user keeps elsewhere in it are theirs.
void remove_gitignore_lines(const stdfs::path& repo_root, RemoveRun& run)
{
  const core::fs::Confined at{repo_root, ".gitignore"};
  const auto st = core::fs::stat_regular(at);
  if (!st) {
    return;
  }
  const std::string text = core::fs::read_bytes(at);
  std::string kept = text;
  const auto& entries = shared::KOLVEX_GITIGNORE_ENTRIES;
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    const std::string line = *entry + "\n";
    if (kept.ends_with(line) &&
        (kept.size() == line.size() || kept[kept.size() - line.size() - 1] == '\n')) {
      kept.resize(kept.size() - line.size());
    }
  }
  if (kept == text) {
    return;
  }
  if (kept.empty()) {
    core::fs::remove_file(at);
    run.touched(repo_root / ".gitignore", true);
    return;
  }
  core::fs::atomic_replace(at, kept, st->st_mode & 07777);
  run.touched(repo_root / ".gitignore", false);
}

// With the .gitignore lines gone, the records kept under .kolvex/.platform/ must
// still never reach a commit: the directory ignores itself.
void keep_records_out_of_git(const stdfs::path& repo_root)
{
  const core::fs::Confined platform = paths::confined(paths::platform_dir(repo_root));
  try {
    (void)core::fs::open_directory(platform);
  } catch (const std::system_error&) {
    return; // no records there (or not a real directory): nothing to keep out
  }
  (void)core::fs::replace_if_changed(platform / ".gitignore", "*\n", 0644);
}

void remove_hooks(const stdfs::path& repo_root, RemoveRun& run)
{
  // The reverse of the order setup installs them in: an entry appended to a manager's
  // file comes out while it is still the last, as it went in.
  for (const auto* spec : {&hooks::installer::PRE_PUSH,
                           &hooks::installer::POST_MERGE,
                           &hooks::installer::POST_REWRITE,
                           &hooks::installer::POST_COMMIT}) {
    auto removal = hooks::installer::uninstall_hook(repo_root, *spec);
    for (const auto& file : removal.files) {
      run.touched(file.path, file.deleted);
    }
    run.manual.insert(run.manual.end(), removal.manual.begin(), removal.manual.end());
    run.warnings.insert(run.warnings.end(), removal.warnings.begin(), removal.warnings.end());
  }
}

void remove_agent_files(const stdfs::path& repo_root, RemoveRun& run)
{
  for (const agents::Harness* harness : agents::harnesses()) {
    try {
      const auto removal = hooks::agent_guidance::remove_agent_guidance(repo_root, *harness->name);
      if (removal.action != hooks::agent_guidance::GuidanceRemoval::Action::none) {
        run.touched(removal.file,
                    removal.action == hooks::agent_guidance::GuidanceRemoval::Action::deleted);
      }
    } catch (const std::system_error& e) {
      run.warnings.push_back("Left the instruction file of " + std::string(*harness->name) +
                             " alone: " + e.what());
    }
  }
  for (const auto& file : agents::skills::remove_skill_files(repo_root)) {
    run.touched(file, true);
  }
  for (const auto& removal : services::mcp_registration::remove_mcp_registrations(repo_root)) {
    if (removal.error.empty()) {
      run.touched(removal.file, removal.deleted);
    } else {
      run.warnings.push_back(removal.error);
    }
  }
}

void remove_user_hooks(RemoveRun& run)
{
  const auto removal =
      hooks::user_hooks::remove_claude_user_hooks(hooks::user_hooks::claude_settings_path());
  using Action = hooks::user_hooks::UserHookRemoval::Action;
  if (removal.action == Action::failed) {
    run.warnings.push_back("Left " + removal.settings.string() + " alone: " + removal.error);
  } else if (removal.action != Action::none) {
    run.touched(removal.settings, removal.action == Action::deleted);
    run.user_wide = true;
  }
}

// The recorded data: deleted with --purge, else kept and said where.
void settle_records(const stdfs::path& repo_root, bool purge, RemoveRun& run)
{
  const stdfs::path dir = paths::kolvex_dir(repo_root);
  const core::fs::Confined config = paths::confined(paths::local_config(repo_root));
  if (purge) {
    const core::fs::Confined records = paths::confined(repo_root, dir);
    if (core::fs::remove_tree(records)) {
      output::success("Removed " + shown(dir, repo_root) +
                      "/, kolvex's records of this repository (its log, attestations, "
                      "configuration and cache)");
    }
    const core::fs::Confined legacy = paths::confined(repo_root, paths::legacy_log(repo_root));
    if (core::fs::remove_file(legacy)) {
      run.touched(legacy.full(), true);
    }
    const stdfs::path platform = paths::platform_dir(repo_root);
    if (platform.lexically_relative(dir).empty() ||
        *platform.lexically_relative(dir).begin() == "..") {
      output::info("The records this worktree shares with " +
                   paths::records_root(repo_root).string() + " were kept");
    }
    return;
  }
  if (core::fs::regular_file_exists(config)) {
    core::fs::rename_file(config, paths::confined(set_aside_config(repo_root)));
  }
  keep_records_out_of_git(repo_root);
  if (core::fs::stat_path(dir)) {
    output::info("Kept kolvex's records in " + shown(dir, repo_root) +
                 "/ (delete them with `kolvex setup --purge`; `kolvex setup` takes them up "
                 "again)");
  }
}

} // namespace

void run_remove(const stdfs::path& repo_root, bool purge)
{
  RemoveRun run;
  const auto step = [&](const char* what, const auto& body) {
    try {
      body();
    } catch (const std::exception& e) {
      run.warnings.push_back(std::string("Could not take out ") + what + ": " + e.what());
    }
  };
  step("the git hooks", [&] { remove_hooks(repo_root, run); });
  step("the agents' files", [&] { remove_agent_files(repo_root, run); });
  step("the user-level harness hooks", [&] { remove_user_hooks(run); });
  step("the .gitignore entries", [&] { remove_gitignore_lines(repo_root, run); });
  for (const auto& [file, deleted] : run.files) {
    output::success(std::string(deleted ? "Removed " : "Updated ") + shown(file, repo_root));
  }
  if (run.user_wide) {
    // The rows serve every repository; another one set up with kolvex puts them
    // back on its next sync.
    output::info("Claude Code's session-start and post-tool hooks served every repository; a "
                 "sync in another repository set up with kolvex registers them again");
  }
  step("the records", [&] { settle_records(repo_root, purge, run); });
  for (const auto& warning : run.warnings) {
    output::warning(warning);
  }
  if (!run.manual.empty()) {
    output::warning("kolvex could not edit every file itself. Take these out by hand:");
    for (const auto& manual : run.manual) {
      output::console().print(manual.message(repo_root));
    }
  }
  if (run.files.empty() && run.manual.empty() && run.warnings.empty()) {
    output::info("Nothing of kolvex's was left to take out");
  }
  if (!run.manual.empty() || !run.warnings.empty()) {
    throw CLI::RuntimeError(1);
  }
}

std::vector<std::string> detect_installed_agents()
{
  std::vector<std::string> found;
  for (const agents::Harness* harness : agents::harnesses()) {
    if (agents::installed(*harness)) {
      found.emplace_back(*harness->name);
    }
  }
  return found;
}

void run_setup(const stdfs::path& repo_root, const SetupOptions& options)
{
  SetupRun run = start_run();
  // A configuration --remove set aside comes back: the project link and the agents.
  const core::fs::Confined aside = paths::confined(set_aside_config(repo_root));
  const core::fs::Confined config = paths::confined(paths::local_config(repo_root));
  if (core::fs::regular_file_exists(aside) && !core::fs::regular_file_exists(config)) {
    core::fs::rename_file(aside, config);
  }
  std::vector<std::string> done;
  for (std::size_t i = 0; i < k_steps.size(); ++i) {
    try {
      k_steps[i].run(repo_root, options, run);
      done.emplace_back(k_steps[i].what);
    } catch (const std::exception& e) {
      // The steps before this one stay done: say which, and which are not.
      (void)print_manual_steps(repo_root, run);
      output::error(e.what());
      std::vector<std::string> left{std::string(k_steps[i].what) + " (failed)"};
      for (std::size_t j = i + 1; j < k_steps.size(); ++j) {
        left.emplace_back(k_steps[j].what);
      }
      if (!done.empty()) {
        output::info("Set up: " + core::text::join(done, ", ") + ".");
      }
      output::warning("Not set up: " + core::text::join(left, ", ") +
                      ". Fix the problem and run `kolvex setup` again.");
      throw CLI::RuntimeError(1);
    }
  }
  // A pull merges the fetched notes (the post-merge hook every setup installs; a
  // rebasing pull has the post-rewrite hook) and a push pushes them, merged with the
  // remote's first (pre-push).
  if (options.notes || services::relaycore::sync::notes_enabled(repo_root)) {
    install_git_hook(repo_root, hooks::installer::PRE_PUSH, run);
  }
  // Until the lines are in, commits are not recorded: not a success.
  if (print_manual_steps(repo_root, run)) {
    throw CLI::RuntimeError(1);
  }
}

void register_setup(CLI::App& app)
{
  auto names = std::make_shared<std::vector<std::string>>();
  CLI::App* command = app.add_subcommand(
      "setup",
      "Set up this repository to record its commits: the local configuration (with the agent "
      "harnesses found on this machine), the .gitignore entries, the git post-commit, "
      "post-rewrite and post-merge hooks "
      "(through husky or lefthook when one runs the hooks, the pre-commit framework for a hook "
      "type it already runs, else as a marked block in the hook that is there; a file kolvex "
      "cannot edit gets the lines to add printed) and .kolvex/example-attestation.yaml, and "
      "`kolvex session-start` and the post-tool row `kolvex attest add --from-hook` as hooks in "
      "Claude Code's user settings. Running it again changes nothing; --remove takes it all out "
      "again.");
  CLI::Option* agent_option =
      command
          ->add_option("--agent",
                       *names,
                       "An agent harness used in this repository (" + known_agents() +
                           "); repeat for several. Without it the harnesses installed on this "
                           "machine are found.")
          ->type_name("NAME")
          ->allow_extra_args(false);
  auto no_user_hooks = std::make_shared<bool>(false);
  CLI::Option* no_user_hooks_option =
      command->add_flag("--no-user-hooks",
                        *no_user_hooks,
                        "Do not register the session-start hook and the post-tool row in the user "
                        "settings of the configured harnesses (Claude Code's settings.json).");
  auto project = std::make_shared<std::optional<std::int64_t>>();
  CLI::Option* project_option =
      command
          ->add_option("--project",
                       *project,
                       "Link this repository to an existing kolvex project by its id, without "
                       "asking the server (`kolvex sync` otherwise finds or creates the project "
                       "by the origin remote)")
          ->type_name("ID")
          ->check(frontend::id_number());
  // `kolvex setup project <id>`: only the link, for a repository set up already
  // (the wording the refusal remedies use).
  auto linked = std::make_shared<std::int64_t>(0);
  CLI::App* link = command->add_subcommand(
      "project", "Link this repository to an existing kolvex project by its id, and nothing else");
  link->add_option("id", *linked, "The project's id")->required()->check(frontend::id_number());
  link->callback([linked] {
    const auto root = services::shared::get_repo_root();
    core::Map config = shared::load_local_config(root);
    config.set("project_id", core::Value(*linked));
    shared::save_local_config(root, config);
    output::success("Linked this repository to project " + std::to_string(*linked));
  });
  auto notes = std::make_shared<bool>(false);
  CLI::Option* notes_option = command->add_flag(
      "--notes",
      *notes,
      "Also write each new record as a git note under refs/notes/kolvex, and print "
      "the one-time git config lines that push and fetch the notes with the branch.");
  auto remove = std::make_shared<bool>(false);
  auto purge = std::make_shared<bool>(false);
  CLI::Option* remove_option = command->add_flag(
      "--remove",
      *remove,
      "Take out everything setup and sync added: the git hooks' blocks and hook "
      "manager entries, the .gitignore lines, the hooks in Claude Code's user "
      "settings, the tool-server registrations, the instruction-file blocks and the "
      "skill files. Each file is left as it was before (one kolvex created is "
      "deleted); what kolvex cannot edit is printed to take out by hand. The "
      "records in .kolvex/ are kept.");
  CLI::Option* purge_option =
      command->add_flag("--purge",
                        *purge,
                        "As --remove, and delete .kolvex/ too: the log, the attestations, the "
                        "configuration and the cache.");
  for (CLI::Option* undo : {remove_option, purge_option}) {
    for (CLI::Option* setting :
         {agent_option, no_user_hooks_option, project_option, notes_option}) {
      undo->excludes(setting);
    }
  }
  command->callback([command, names, no_user_hooks, project, notes, remove, purge] {
    if (!command->get_subcommands().empty()) {
      return; // `setup project <id>` did its one step
    }
    if (*remove || *purge) {
      run_remove(services::shared::get_repo_root(), *purge);
      return;
    }
    SetupOptions options;
    options.project_id = *project;
    options.agents = canonical_agents(*names);
    options.user_hooks = !*no_user_hooks;
    options.notes = *notes;
    const stdfs::path root = services::shared::get_repo_root();
    run_setup(root, options);
    if (*notes) {
      frontend::enable_notes(root);
    }
  });
}

} // namespace kolvex::commands
