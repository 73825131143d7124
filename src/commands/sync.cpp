#include "commands/sync.hpp"

#include "frontend/command_values.hpp"
#include "frontend/perform_sync.hpp"
#include "frontend/post_tool_due.hpp"

#include "agents/registry.hpp"

#include "core/deadline.hpp"
#include "core/git_repo.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "display/output.hpp"
#include "paths.hpp"
#include "repository_handle.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/capture/capture.hpp"
#include "services/relaycore/capture/rewrite.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_line.hpp"
#include "services/relaycore/sync/notes.hpp"
#include "services/relaycore/sync/project_resolution.hpp"
#include "services/relaycore/sync/sync_run.hpp"
#include "services/repository.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <cerrno>
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
  core::git::keep_opened_repositories();
  core::deadline::set_after(k_record_soft_limit);
  core::deadline::hard_stop_after(k_record_hard_limit, 0);
  try {
    const auto root = services::shared::get_repo_root();
    const paths::RepositoryHandle repo(root);
    if (!services::shared::local_config_exists(repo)) {
      return;
    }
    if (merges_only) {
      // A pull ran this hook: the notes it fetched join the local ones whether or not
      // it made a merge commit.
      if (rsync::notes_enabled(root)) {
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
        capture::capture_commit(repo, "HEAD", {.source = "post_commit", .event = event});
    if (!result.written && result.reason != capture::ALREADY_RECORDED) {
      return;
    }
    // Inside an agent session the harness's post-tool row follows this tool call:
    // it uploads the commit and speaks to the agent about it, and no other.
    if (result.written && agents::detect_active_agent() != nullptr) {
      frontend::_leave_for_row(repo, result.commit);
    }
    if (rsync::notes_enabled(root)) {
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

void print_sync(const frontend::SyncOutcome& outcome, bool json)
{
  if (json) {
    output::console().print(core::json::dump_indented(frontend::sync_report(outcome), 2));
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
    const paths::RepositoryHandle repo(root);
    if (!services::shared::local_config_exists(repo)) {
      return;
    }
    std::vector<capture::RewritePair> pairs = capture::parse_rewrite_pairs(read_hook_stdin());
    if (pairs.empty()) {
      pairs = capture::rewrite_pairs_from_repository(root);
    }
    const auto results = capture::carry_rewritten_records(root, pairs);
    if (rsync::notes_enabled(root)) {
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
      ->check(frontend::id_number());
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
    const frontend::SyncOutcome outcome =
        frontend::perform_sync(services::shared::get_repo_root(), options->team_id);
    print_sync(outcome, options->json);
    if (outcome.failed) {
      throw CLI::RuntimeError(1);
    }
  });
}

void record_commit_from_hook()
{
  record_head("unattested");
}

} // namespace kolvex::commands
