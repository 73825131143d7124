#include "frontend/perform_sync.hpp"

#include "core/errors.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"
#include "frontend/command_values.hpp"
#include "frontend/session_context.hpp"
#include "paths.hpp"
#include "services/relaycore/log/attestation_log.hpp"

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <fcntl.h>

namespace kolvex::frontend {

namespace {

namespace output = display::output;
namespace rsync = services::relaycore::sync;

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
std::int64_t pending_records(const paths::RepositoryHandle& repo,
                             std::vector<std::string>& problems)
{
  try {
    return services::relaycore::log::count_attestation_log(repo.at(paths::log_jsonl(repo.root())))
        .pending;
  } catch (const std::exception& e) {
    problems.emplace_back(e.what());
    return -1;
  }
}

// Why the log of `root` cannot be read, when it is there and cannot: the upload
// would otherwise find nothing in it and call every record synced.
std::optional<std::string> unreadable_log(const paths::RepositoryHandle& repo)
{
  const std::filesystem::path log = paths::log_jsonl(repo.root());
  try {
    (void)core::fs::open_regular(repo.at(log), O_RDONLY);
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
std::optional<std::string> unwritable_directory(const paths::RepositoryHandle& repo,
                                                const std::filesystem::path& dir)
{
  const core::fs::Confined probe = repo.at(dir / ".sync-write-check");
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
std::vector<std::string> record_store_problems(const paths::RepositoryHandle& repo)
{
  std::vector<std::string> problems;
  if (auto log = unreadable_log(repo)) {
    problems.push_back(std::move(*log));
  }
  for (const auto& dir : {paths::platform_dir(repo.root()), paths::attestations_dir(repo.root())}) {
    if (auto unwritable = unwritable_directory(repo, dir)) {
      problems.push_back(std::move(*unwritable));
      break; // the cache directory's reason covers the archives inside it
    }
  }
  return problems;
}

// The lines for a user of what `outcome` says, and whether it failed: a problem
// with the records, no project reached, not signed in, or a failed upload.
void tell(SyncOutcome& outcome,
          bool signed_in,
          std::optional<std::int64_t> team_id,
          const std::filesystem::path& root)
{
  std::vector<std::string>& problems = outcome.problems;
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
  if (!resolution && !signed_in) {
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
  // Files of the user's tree: what changed, one line each, and what was left alone.
  for (const auto& file : outcome.run.changed_files) {
    say(output::Level::info,
        std::string(file.created ? "Created " : "Updated ") + file.path.generic_string());
  }
  for (const std::string& warning : outcome.run.file_warnings) {
    say(output::Level::warning, warning);
  }
  if (outcome.pending > 0) {
    say(output::Level::info,
        counted(outcome.pending, "record") + " left pending for the next sync");
  }
}

} // namespace

SyncOutcome perform_sync(const std::filesystem::path& root, std::optional<std::int64_t> team_id)
{
  std::optional<paths::RepositoryHandle> repo;
  try {
    repo.emplace(root);
  } catch (const std::system_error& e) {
    // A link or a file where .kolvex or .platform belongs: every record beneath
    // would be refused one by one, so nothing is read or sent and that is the one
    // reason given.
    SyncOutcome outcome;
    outcome.run.result.set("attestations_uploaded", core::Value(false));
    outcome.run.result.set("cache_refreshed", core::Value(false));
    outcome.pending = -1;
    outcome.failed = true;
    outcome.problems.push_back("The records of this repository cannot be opened (" +
                               std::string(e.what()) + "); nothing was read or sent");
    outcome.lines.emplace_back(output::Level::error, outcome.problems.back());
    return outcome;
  }
  return perform_sync(*repo, team_id);
}

SyncOutcome perform_sync(const paths::RepositoryHandle& repo, std::optional<std::int64_t> team_id)
{
  const std::filesystem::path& root = repo.root();
  SyncOutcome outcome;
  const auto session = services::session_context::resolve_session(root);
  std::tie(outcome.archived, outcome.resolution) =
      rsync::resolve_if_unlinked(repo, session.api_key, session.api_url, team_id);
  const std::optional<std::string> project = rsync::linked_project_id(repo);
  outcome.project_id = project.value_or("");
  const std::string key = session.api_key.value_or("");
  std::optional<std::string> stopped;
  try {
    outcome.run = rsync::run_sync_detailed(
        repo, key, session.api_url, project ? core::Value(*project) : core::Value());
  } catch (const std::exception& e) {
    // Marking what was sent failed (a read-only or full log): the report still goes
    // out, so a script reading --json learns why rather than reading nothing.
    core::logging::Logger("kolvex.frontend.perform_sync").debug_exception("Sync stopped", e);
    stopped = "The sync stopped (" + core::errors::short_name(e) + "): " + e.what() +
              ". What was not marked sent is sent again by the next sync";
    outcome.run = rsync::SyncRun{};
    outcome.run.result.set("attestations_uploaded", core::Value(false));
    outcome.run.result.set("cache_refreshed", core::Value(false));
  }
  outcome.problems = record_store_problems(repo);
  if (stopped) {
    outcome.problems.push_back(std::move(*stopped));
  }
  if (const auto bad = rsync::unusable_project_id(repo)) {
    outcome.problems.push_back(
        "The project id " + *bad +
        " in .kolvex/.platform/config.yaml is not a project id (a whole number from 1). Link "
        "the repository with `kolvex setup project <id>`");
  }
  outcome.pending = pending_records(repo, outcome.problems);

  tell(outcome, !key.empty(), team_id, root);
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
  core::List changed;
  for (const auto& file : outcome.run.changed_files) {
    changed.emplace_back(file.path.generic_string());
  }
  report.set("changed_files", core::Value(std::move(changed)));
  core::List file_warnings(outcome.run.file_warnings.begin(), outcome.run.file_warnings.end());
  report.set("file_warnings", core::Value(std::move(file_warnings)));
  report.set("pending", core::Value(outcome.pending));
  core::List problems(outcome.problems.begin(), outcome.problems.end());
  report.set("problems", core::Value(std::move(problems)));
  return core::Value(std::move(report));
}

} // namespace kolvex::frontend
