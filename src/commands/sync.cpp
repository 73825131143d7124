#include "commands/sync.hpp"

#include "commands/attest/hook_row.hpp"
#include "commands/command_line.hpp"
#include "commands/notes.hpp"

#include "agents/registry.hpp"

#include "core/deadline.hpp"
#include "core/errors.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "display/output.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/capture/capture.hpp"
#include "services/relaycore/capture/rewrite.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_line.hpp"
#include "services/relaycore/sync/notes.hpp"
#include "services/relaycore/sync/project_resolution.hpp"
#include "services/relaycore/sync/sync_run.hpp"
#include "services/session_context.hpp"
#include "services/shared.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace kolvex::commands {

namespace {

namespace output = display::output;
namespace rsync = services::relaycore::sync;

struct SyncOptions {
  bool record_commit = false;
  bool record_rewrite = false;
  bool record_merge = false;
  std::string event = "unattested";
  std::optional<std::int64_t> team_id;
  bool json = false;
};

// `git commit` waits for its post-commit hook, so the hook never takes longer than
// this, whatever the repository holds: the work stops and is given up at the soft
// limit (the session start's catch-up records the commit later), and a step that
// does not look at the clock is cut off at the hard one.
constexpr std::chrono::seconds k_record_soft_limit{12};
constexpr std::chrono::seconds k_record_hard_limit{14};

// Whether HEAD of `root` is a merge commit (more than one parent).
bool head_is_merge(const std::filesystem::path& root)
{
  const std::string parents =
      services::relaycore::log::_git({"rev-list", "--parents", "-n", "1", "HEAD"}, root);
  return std::count(parents.begin(), parents.end(), ' ') >= 2;
}

// Records HEAD of the repository around the working directory, if it has been set
// up for kolvex.  With `merges_only` (the post-merge hook) HEAD is recorded only
// when it is a merge commit: a fast-forward `git pull` moves HEAD to commits others
// made.  A hook must never fail a commit, so every error ends here.
void record_head(const std::string& reason, bool merges_only = false)
{
  core::logging::set_hook_path(true);
  core::deadline::set_after(k_record_soft_limit);
  core::deadline::hard_stop_after(k_record_hard_limit, 0);
  try {
    const auto root = services::shared::get_repo_root();
    if (!services::shared::local_config_exists(root)) {
      return;
    }
    if (merges_only) {
      // A pull ran this hook: the notes it fetched join the local ones whether or not
      // it made a merge commit.
      if (notes_enabled(root)) {
        (void)rsync::merge_fetched_notes(root);
      }
      if (!head_is_merge(root)) {
        return;
      }
    }
    std::string event = "commit_unattested";
    for (const auto& [known_reason, known_event] : services::relaycore::log::RECORD_REASON_EVENTS) {
      if (known_reason == reason) {
        event = known_event;
      }
    }
    namespace capture = services::relaycore::capture;
    const auto result =
        capture::capture_commit(root, "HEAD", {.source = "post_commit", .event = event});
    if (!result.written && result.reason != capture::ALREADY_RECORDED) {
      return;
    }
    // Inside an agent session the harness's post-tool row follows this tool call:
    // it uploads the commit and speaks to the agent about it, and no other.
    if (result.written && agents::detect_active_agent() != nullptr) {
      attest::_leave_for_row(root, result.commit);
    }
    if (notes_enabled(root)) {
      (void)services::relaycore::sync::write_notes(root, {result.commit});
    }
  } catch (const std::exception& e) {
    core::logging::Logger("kolvex.commands.sync")
        .debug_exception("Recording the commit failed (best-effort)", e);
  } catch (...) {
    core::logging::Logger("kolvex.commands.sync")
        .debug("Recording the commit failed (best-effort)");
  }
}

core::Value resolution_map(const rsync::ProjectResolution& resolution)
{
  const auto text = [](const std::optional<std::string>& value) {
    return value ? core::Value(*value) : core::Value();
  };
  core::Map map;
  map.set("project_id",
          resolution.project_id ? core::Value(*resolution.project_id) : core::Value());
  map.set("title", text(resolution.title));
  map.set("created", core::Value(resolution.created));
  map.set("reason", text(resolution.reason));
  map.set("code", text(resolution.code));
  map.set("ok", core::Value(resolution.ok()));
  if (!resolution.ok()) {
    map.set("remedy", core::Value(rsync::remedy(resolution.code)));
  }
  return core::Value(std::move(map));
}

core::Value upload_map(const rsync::UploadResult& upload)
{
  core::Map map;
  map.set("ok", core::Value(upload.ok));
  map.set("uploaded", core::Value(upload.uploaded));
  map.set("skipped_invalid", core::Value(upload.skipped_invalid));
  map.set("already_synced", core::Value(upload.already_synced));
  map.set("error", upload.error ? core::Value(*upload.error) : core::Value());
  return core::Value(std::move(map));
}

// Records the log still holds for the next sync; -1 when the log cannot be read,
// with the reason in `problems`.
std::int64_t pending_records(const std::filesystem::path& root, std::vector<std::string>& problems)
{
  try {
    return services::relaycore::log::count_attestation_log(paths::log_jsonl(root)).pending;
  } catch (const std::exception& e) {
    problems.emplace_back(e.what());
    return -1;
  }
}

// Why the log of `root` cannot be read, when it is there and cannot: the upload
// would otherwise find nothing in it and call every record synced.
std::optional<std::string> unreadable_log(const std::filesystem::path& root)
{
  const std::filesystem::path log = paths::log_jsonl(root);
  try {
    (void)core::fs::open_regular(paths::confined(log), O_RDONLY);
  } catch (const core::fs::UnsafePathError&) {
    return "The attestation log " + log.string() +
           " is not a regular file (a link or a special file); it was not read";
  } catch (const std::system_error& e) {
    if (e.code() != std::errc::no_such_file_or_directory) {
      return "The attestation log " + log.string() + " cannot be read: " + e.what();
    }
  }
  return std::nullopt;
}

// Why `dir` (under .kolvex/) cannot take a new file, when it exists and cannot: a
// read-only or full cache directory means commits made now are not recorded.  A
// few bytes are written, so that a full disk shows as well as a refusal.
std::optional<std::string> unwritable_directory(const std::filesystem::path& dir)
{
  const core::fs::Confined probe = paths::confined(dir / ".sync-write-check");
  try {
    (void)core::fs::open_directory(probe.parent());
  } catch (const std::system_error&) {
    return std::nullopt; // missing (nothing recorded yet), or refused and reported
  }
  try {
    {
      const core::fs::Fd fd = core::fs::open_regular(probe, O_WRONLY | O_CREAT | O_TRUNC, 0600);
      core::fs::write_all(fd.get(), "kolvex", "cannot write to " + dir.string());
    }
    (void)core::fs::remove_file(probe);
  } catch (const std::system_error& e) {
    try {
      (void)core::fs::remove_file(probe);
    } catch (const std::system_error&) {
      // Not there, or not removable either: the message below says why.
    }
    return "Cannot write to " + dir.string() + " (" + e.what() +
           "): commits made now are not recorded";
  }
  return std::nullopt;
}

// `text` ending in a full stop, added only when it has none ("rejected." stays).
std::string sentence(std::string text)
{
  if (text.empty() || std::string_view(".!?").find(text.back()) == std::string_view::npos) {
    text += '.';
  }
  return text;
}

// `file` as the user would type it from the repository root when it lies beneath it.
std::string shown_path(const std::filesystem::path& root, const std::filesystem::path& file)
{
  const std::filesystem::path relative = file.lexically_relative(root);
  return relative.empty() || *relative.begin() == ".." ? file.string() : relative.string();
}

// What kept this sync from reading or writing the records of `root`.
std::vector<std::string> record_store_problems(const std::filesystem::path& root)
{
  std::vector<std::string> problems;
  if (auto log = unreadable_log(root)) {
    problems.push_back(std::move(*log));
  }
  for (const auto& dir : {paths::platform_dir(root), paths::attestations_dir(root)}) {
    if (auto unwritable = unwritable_directory(dir)) {
      problems.push_back(std::move(*unwritable));
      break; // the cache directory's reason covers the archives inside it
    }
  }
  return problems;
}

void print_sync(const SyncOutcome& outcome, bool json)
{
  if (json) {
    output::console().print(core::json::dump_indented(sync_report(outcome), 2));
    return;
  }
  for (const auto& [level, text] : outcome.lines) {
    output::message(level, text);
  }
}

// How long the rewrite hook waits for git's list on stdin before it looks in the
// repository instead: git writes the list whole and closes the pipe at once, so
// only a stdin nobody writes to (a manager that keeps it) ever reaches this.
constexpr int k_stdin_wait_ms = 1000;

// What git handed the hook on stdin, or "" when stdin is a terminal, empty, or not
// written to in time.  Never blocks past k_stdin_wait_ms between reads.
std::string read_hook_stdin()
{
  if (::isatty(STDIN_FILENO) == 1) {
    return "";
  }
  std::string text;
  char buffer[65536];
  while (text.size() < (16U << 20U)) {
    pollfd poller{.fd = STDIN_FILENO, .events = POLLIN, .revents = 0};
    const int ready = ::poll(&poller, 1, k_stdin_wait_ms);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      break;
    }
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
  return text;
}

// The post-rewrite hook: carries the records of the rewritten commits to their new
// commits.  Bounded and fail-open like the post-commit hook.
void record_rewrite()
{
  core::logging::set_hook_path(true);
  core::deadline::set_after(k_record_soft_limit);
  core::deadline::hard_stop_after(k_record_hard_limit, 0);
  namespace capture = services::relaycore::capture;
  try {
    const auto root = services::shared::get_repo_root();
    if (!services::shared::local_config_exists(root)) {
      return;
    }
    std::vector<capture::RewritePair> pairs = capture::parse_rewrite_pairs(read_hook_stdin());
    if (pairs.empty()) {
      pairs = capture::rewrite_pairs_from_repository(root);
    }
    const auto results = capture::carry_rewritten_records(root, pairs);
    if (notes_enabled(root)) {
      // A rebasing pull runs this hook, not post-merge.
      (void)rsync::merge_fetched_notes(root);
      std::vector<std::string> carried;
      for (const auto& result : results) {
        if (result.written) {
          carried.push_back(result.commit);
        }
      }
      (void)services::relaycore::sync::write_notes(root, carried);
    }
    for (const auto& result : results) {
      core::logging::Logger("kolvex.commands.sync")
          .debug(result.commit +
                 (result.written ? ": carried " : ": not carried (" + result.reason + ") ") +
                 std::to_string(result.rewritten_from.size()) + " record(s)");
    }
  } catch (const std::exception& e) {
    core::logging::Logger("kolvex.commands.sync")
        .debug_exception("Carrying rewritten records failed (best-effort)", e);
  } catch (...) {
    core::logging::Logger("kolvex.commands.sync")
        .debug("Carrying rewritten records failed (best-effort)");
  }
}

} // namespace

SyncOutcome perform_sync(const std::filesystem::path& root, std::optional<std::int64_t> team_id)
{
  SyncOutcome outcome;
  const auto session = services::session_context::resolve_session(root);
  std::tie(outcome.archived, outcome.resolution) =
      rsync::resolve_if_unlinked(root, session.api_key, session.api_url, team_id);
  const std::optional<std::string> project = rsync::linked_project_id(root);
  outcome.project_id = project.value_or("");
  const std::string key = session.api_key.value_or("");
  std::vector<std::string>& problems = outcome.problems;
  std::optional<std::string> stopped;
  try {
    outcome.run = rsync::run_sync_detailed(
        root, key, session.api_url, project ? core::Value(*project) : core::Value());
  } catch (const std::exception& e) {
    // Marking what was sent failed (a read-only or full log): the report still goes
    // out, so a script reading --json learns why rather than reading nothing.
    core::logging::Logger("kolvex.commands.sync").debug_exception("Sync stopped", e);
    stopped = "The sync stopped (" + core::errors::short_name(e) + "): " + e.what() +
              ". What was not marked sent is sent again by the next sync";
    outcome.run = rsync::SyncRun{};
    outcome.run.result.set("attestations_uploaded", core::Value(false));
    outcome.run.result.set("cache_refreshed", core::Value(false));
  }
  problems = record_store_problems(root);
  if (stopped) {
    problems.push_back(std::move(*stopped));
  }
  if (const auto bad = rsync::unusable_project_id(root)) {
    problems.push_back("The project id " + *bad +
                       " in .kolvex/.platform/config.yaml is not a project id (a whole number "
                       "from 1). Link the repository with `kolvex setup project <id>`");
  }
  outcome.pending = pending_records(root, problems);

  const auto say = [&](output::Level level, std::string text) {
    outcome.lines.emplace_back(level, std::move(text));
  };
  const auto& archived = outcome.archived;
  const auto& resolution = outcome.resolution;
  if (archived.error) {
    problems.insert(problems.begin(),
                    "Could not file the pending attestation (it is kept): " + *archived.error);
  }
  for (const auto& problem : problems) {
    outcome.failed = true;
    say(output::Level::error, problem);
  }
  if (archived.found && archived.matched_commit) {
    say(output::Level::info,
        "Filed the pending attestation under commit " + archived.matched_commit->substr(0, 12));
  } else if (archived.awaiting_commit) {
    say(output::Level::info,
        "The pending attestation describes what is staged now; it waits for `git commit`");
  }
  if (resolution && !resolution->ok()) {
    outcome.failed = true;
    say(output::Level::error,
        "Could not reach a project: " + sentence(resolution->reason.value_or("")) + " " +
            rsync::remedy(resolution->code));
  } else if (resolution) {
    say(output::Level::success,
        std::string(resolution->created ? "Created" : "Linked") + " project " +
            std::to_string(*resolution->project_id) +
            (resolution->title && !resolution->title->empty() ? " (" + *resolution->title + ")"
                                                              : std::string()));
  } else if (team_id && !outcome.project_id.empty()) {
    say(output::Level::warning,
        "The team id " + std::to_string(*team_id) +
            " was not used: this repository is already linked to project " + outcome.project_id +
            " (a team id only helps find the project the first time)");
  }
  if (!resolution && key.empty()) {
    outcome.failed = true;
    say(output::Level::error, "Not signed in. " + rsync::remedy(std::string(rsync::NOT_SIGNED_IN)));
  }
  if (const auto& upload = outcome.run.upload) {
    if (!upload->ok) {
      outcome.failed = true;
      say(output::Level::error,
          "Upload failed: " + sentence(upload->error.value_or("unknown error")) + " " +
              (upload->code ? rsync::remedy(upload->code)
                            : std::string(rsync::_REMEDY_UNREACHABLE)));
    } else if (upload->already_synced && problems.empty()) {
      say(output::Level::info, "Nothing to upload: every record is synced");
    } else if (upload->already_synced) {
      say(output::Level::info, "Nothing uploaded");
    } else {
      say(output::Level::success, "Uploaded " + counted(upload->uploaded, "record"));
    }
    if (upload->skipped_invalid > 0) {
      say(output::Level::warning,
          "Skipped " + counted(upload->skipped_invalid, "record") +
              " that cannot be sent (no commit, or a corrupt archived attestation)");
    }
    // After a failed upload its line is the one reason given; the cache stays as
    // it was and the JSON report still says why.
    if (outcome.run.result.find("cache_refreshed")->as_bool()) {
      say(output::Level::success, "Context cache refreshed");
    } else if (upload->ok) {
      say(output::Level::warning, "Context cache not refreshed: " + outcome.run.cache_failure);
    }
    for (const std::string& warning : outcome.run.cache_warnings) {
      say(output::Level::warning, "Context cache: " + warning);
    }
    if (outcome.run.cache_log) {
      say(output::Level::info, "details: " + shown_path(root, *outcome.run.cache_log));
    }
  }
  if (outcome.pending > 0) {
    say(output::Level::info,
        counted(outcome.pending, "record") + " left pending for the next sync");
  }
  return outcome;
}

core::Value sync_report(const SyncOutcome& outcome)
{
  core::Map report;
  report.set("attestations_uploaded", *outcome.run.result.find("attestations_uploaded"));
  report.set("cache_refreshed", *outcome.run.result.find("cache_refreshed"));
  report.set("ok", core::Value(!outcome.failed));
  report.set("project_id",
             outcome.project_id.empty() ? core::Value() : core::Value(outcome.project_id));
  report.set("resolution",
             outcome.resolution ? resolution_map(*outcome.resolution) : core::Value());
  report.set("upload", outcome.run.upload ? upload_map(*outcome.run.upload) : core::Value());
  report.set("cache_failure",
             outcome.run.cache_failure.empty() ? core::Value()
                                               : core::Value(outcome.run.cache_failure));
  core::List warnings(outcome.run.cache_warnings.begin(), outcome.run.cache_warnings.end());
  report.set("cache_warnings", core::Value(std::move(warnings)));
  report.set("details",
             outcome.run.cache_log ? core::Value(outcome.run.cache_log->string()) : core::Value());
  report.set("pending", core::Value(outcome.pending));
  core::List problems(outcome.problems.begin(), outcome.problems.end());
  report.set("problems", core::Value(std::move(problems)));
  return core::Value(std::move(report));
}

// The git hooks' options: an empty group keeps them out of `sync --help`, which is
// for people; the hooks' own scripts are the one place they are written.
constexpr const char* k_hook_only = "";

void register_sync(CLI::App& app)
{
  auto options = std::make_shared<SyncOptions>();
  CLI::App* command = app.add_subcommand(
      "sync",
      "Upload the commits recorded in this repository and refresh the context cache: links "
      "the repository to its kolvex project (by its origin remote) the first time, then sends "
      "every record not yet synced. Exit 1 when no project can be reached or a batch fails; "
      "what failed stays pending for the next sync.");
  command
      ->add_option("--team-id",
                   options->team_id,
                   "The team that owns this repository, when you belong to several (asked "
                   "once: it is saved with the project)")
      ->type_name("N")
      ->check(id_number());
  command->add_flag("--json", options->json, "Print what happened as JSON, for scripts");
  command
      ->add_flag("--record-commit",
                 options->record_commit,
                 "Record HEAD in the attestation log: with the pending attestation when "
                 "there is one, else as an unattested commit. Does nothing outside a "
                 "repository set up with `kolvex setup`; always exits 0, prints nothing.")
      ->group(k_hook_only);
  command
      ->add_flag("--record-rewrite",
                 options->record_rewrite,
                 "Carry the records of commits that `git commit --amend` or `git rebase` "
                 "rewrote to the commits that replaced them, with a link to the old shas "
                 "(run by the git post-rewrite hook, which hands git's '<old> <new>' lines "
                 "on stdin). Always exits 0, prints nothing.")
      ->group(k_hook_only);
  command
      ->add_flag("--record-merge",
                 options->record_merge,
                 "Record HEAD when it is a merge commit, as --record-commit does (run by "
                 "the git post-merge hook; a fast-forward records nothing). Always exits 0, "
                 "prints nothing.")
      ->group(k_hook_only);
  std::vector<std::string> reasons;
  reasons.reserve(services::relaycore::log::RECORD_REASON_EVENTS.size());
  for (const auto& [reason, event] : services::relaycore::log::RECORD_REASON_EVENTS) {
    reasons.emplace_back(reason);
  }
  command
      ->add_option("--event",
                   options->event,
                   "Why a commit without an attestation has none: 'unattested' (the default) "
                   "or 'skipped' (the agent chose not to attest).")
      ->check(CLI::IsMember(reasons))
      ->group(k_hook_only);
  command->callback([options] {
    if (options->record_rewrite) {
      record_rewrite();
      return;
    }
    if (options->record_commit || options->record_merge) {
      record_head(options->event, !options->record_commit);
      return;
    }
    const SyncOutcome outcome = perform_sync(services::shared::get_repo_root(), options->team_id);
    print_sync(outcome, options->json);
    if (outcome.failed) {
      throw CLI::RuntimeError(1);
    }
  });
}

} // namespace kolvex::commands
