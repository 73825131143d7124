#include "commands/attest/attest_add.hpp"

#include "commands/attest/help_format.hpp"
#include "commands/attest/hook_row.hpp"
#include "display/output.hpp"
#include "frontend/attestation_fields.hpp"
#include "services/relaycore/capture/capture.hpp"
#include "services/relaycore/log/pending.hpp"
#include "services/relaycore/sync/notes.hpp"
#include "services/repository.hpp"

#include <CLI/CLI.hpp>

#include <memory>
#include <vector>

namespace kolvex::commands::attest {

namespace {

namespace output = display::output;
namespace capture = services::relaycore::capture;

constexpr const char* k_summary = "Record a commit an agent session made before kolvex was set up.";

// Shown as written (ParagraphFormatter): the example line must stay one line.
constexpr const char* k_paragraphs =
    "One call per commit. Which agent, which model, and how many tokens are read from\n"
    "the session's own transcript; subject and date from git. The record is uploaded\n"
    "by the next `kolvex sync`. A commit that already has a record is left alone.\n"
    "\n"
    "Example:\n"
    "  kolvex attest add --commit a81f2c0 --session 3f0c... --task-type bug-fix\n"
    "\n"
    "With only --commit and a pending .kolvex/.commit-attestation.yaml: attach that\n"
    "attestation to a commit already recorded without one (the hook's nudge). The\n"
    "commit's log entry is upgraded in place and re-uploaded.\n"
    "\n"
    "With --from-hook (Claude Code's PostToolUse row, user-level): reads the tool\n"
    "payload from stdin, ignores anything but a `git commit`, records HEAD for the\n"
    "payload's session, and uploads best-effort. Exit 0 always.\n";

} // namespace

int attest_add(const AddOptions& options)
{
  if (options.from_hook) {
    _add_from_hook(options.agent);
    return 0;
  }
  if (options.agent) {
    throw CLI::ValidationError("--agent is only for hook rows (with --from-hook)");
  }
  const auto repo_root = services::shared::get_repo_root();

  const std::string commit = options.commit.value_or("");
  if (!commit.empty() && !options.session_id && !options.task_type &&
      services::relaycore::log::_pending_attestation_exists(paths::RepositoryHandle(repo_root))) {
    const auto result = services::relaycore::log::attach_pending_attestation(repo_root, commit);
    if (!result.written) {
      output::error(commit + ": " + result.reason);
      return 1;
    }
    services::relaycore::sync::write_notes_if_enabled(repo_root, {result.commit});
    output::success("Attached attestation to " + result.commit.substr(0, 12));
    return 0;
  }

  std::string missing;
  for (const auto& [name, given] : {std::pair{"--commit", options.commit.has_value()},
                                    std::pair{"--session", options.session_id.has_value()},
                                    std::pair{"--task-type", options.task_type.has_value()}}) {
    if (!given) {
      missing += (missing.empty() ? "" : ", ") + std::string(name);
    }
  }
  if (!missing.empty()) {
    throw CLI::ValidationError("Missing required options: " + missing);
  }

  const auto result =
      capture::record_backfill(repo_root, commit, *options.session_id, *options.task_type);
  if (result.written) {
    services::relaycore::sync::write_notes_if_enabled(repo_root, {result.commit});
    output::success("Recorded " + result.commit.substr(0, 12) + " (" + *options.task_type + ")" +
                    (result.tokens ? "" : " \u2014 no token counts in that transcript"));
    return 0;
  }
  if (result.reason == capture::ALREADY_RECORDED) {
    output::info(result.commit.substr(0, 12) + " already recorded");
    return 0;
  }
  output::error(commit + ": " + result.reason);
  return 1;
}

void register_attest_add(CLI::App& group)
{
  auto options = std::make_shared<AddOptions>();
  CLI::App* add = group.add_subcommand("add", k_summary);
  add->formatter(std::make_shared<ParagraphFormatter>(k_paragraphs));
  // A row written by a newer setup may carry flags this version does not know; the
  // hook must still exit 0.  Outside hook mode they are refused as usual (below).
  add->allow_extras();

  const auto text_option = [add, options](const char* name,
                                          std::optional<std::string> AddOptions::*field,
                                          const char* help) {
    return add
        ->add_option_function<std::string>(
            name, [options, field](const std::string& value) { (*options).*field = value; }, help)
        ->type_name("TEXT")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  };
  text_option("--commit", &AddOptions::commit, "Commit sha (short or full) the session made.");
  text_option(
      "--session", &AddOptions::session_id, "The agent session id (transcript id) that made it.");
  const std::vector<std::string> task_types(services::shared::VALID_TASK_TYPES.begin(),
                                            services::shared::VALID_TASK_TYPES.end());
  text_option("--task-type", &AddOptions::task_type, "What kind of change the commit is.")
      ->check(CLI::IsMember(task_types));
  add->add_flag("--from-hook",
                options->from_hook,
                "Hook invocation: read the PostToolUse payload from stdin, record HEAD, always "
                "exit 0.");
  text_option("--agent",
              &AddOptions::agent,
              "With --from-hook only: the harness this row was installed for.");
  add->add_flag("--user", options->user_level, "Installed at user level (accepted, no effect).")
      ->group(""); // hidden from the help

  add->callback([add, options] {
    if (!options->from_hook && !add->remaining().empty()) {
      throw CLI::ExtrasError(add->remaining());
    }
    const int status = attest_add(*options);
    if (status != 0) {
      throw CLI::RuntimeError(status);
    }
  });
}

} // namespace kolvex::commands::attest
