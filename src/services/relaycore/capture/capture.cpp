#include "services/relaycore/capture/capture.hpp"

#include "agents/registry.hpp"
#include "core/deadline.hpp"
#include "core/errors.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"
#include "paths.hpp"
#include "services/git_author.hpp"
#include "services/relaycore/capture/cherry_pick.hpp"
#include "services/relaycore/log/commit_search.hpp"
#include "services/relaycore/log/enrichment.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "services/relaycore/log/pending.hpp"
#include "utils/filelock.hpp"

#include <system_error>
#include <vector>

namespace kolvex::services::relaycore::capture {

namespace {

namespace stdfs = std::filesystem;
using contracts::AgentAdapter;

constexpr const char* k_no_such_commit = "no such commit in this repo";

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.capture");
  return instance;
}

bool non_empty(const std::optional<std::string>& text)
{
  return text && !text->empty();
}

// ---- Capture -------------------------------------------------------------------

// Throws UnsafePathError when the archive, or a directory above it, is a link: the
// capture then stops before writing anything there.
bool archive_exists(const paths::RepositoryHandle& repo, const std::string& full)
{
  return core::fs::regular_file_exists(log::record_files(repo).attestations / (full + ".yaml"));
}

BackfillResult already_recorded(const std::string& full)
{
  return {.commit = full, .reason = std::string(ALREADY_RECORDED)};
}

// Whether the note of a record cut short before its line lies beside the archive.
bool note_exists(const paths::RepositoryHandle& repo, const std::string& full)
{
  return core::fs::regular_file_exists(
      paths::unlogged_note(log::record_files(repo).attestations, full));
}

// Is `full` recorded, as `search` (of it) reads the log?  A log that cannot be read
// leaves the answer to the archive, as a record used to be judged.
bool recorded(const paths::RepositoryHandle& repo,
              const std::string& full,
              log::CommitSearch& search)
{
  const std::optional<bool> logged = search.run(log::record_files(repo).log);
  return logged ? *logged : archive_exists(repo, full);
}

// Gives the record of `full` its line when its archive was written and its line
// was not.  True when the commit is recorded afterwards.
bool complete_record(const paths::RepositoryHandle& repo,
                     const std::string& full,
                     log::CommitSearch& search,
                     const std::optional<std::string>& head_branch = std::nullopt)
{
  const std::string branch =
      head_branch ? *head_branch : log::_git_rev_parse({"--abbrev-ref", "HEAD"}, repo.root());
  core::deadline::check("completing the record of " + full);
  const log::RecordFiles files = log::record_files(repo);
  const auto lock = utils::filelock::locked(files.log);
  return log::_complete_record(files.log, files.attestations, full, branch, search);
}

struct Attribution {
  const AgentAdapter* adapter = nullptr;
  std::optional<std::string> session_id;
  std::optional<core::Map> telemetry;
};

// Whether `adapter`'s own mark on commit `full` proves it made it; a failing
// check proves nothing.
bool marks(const AgentAdapter& adapter, const stdfs::path& repo_root, const std::string& full)
{
  try {
    return adapter.marks_commit(repo_root, full);
  } catch (const std::exception& e) {
    logger().debug_exception(adapter.name() + " commit mark check failed (best-effort)", e);
    return false;
  }
}

// Who made commit `full`, as far as it can be proven (see CaptureOptions).
//
// Proof outranks context: a session a harness's store knows, then a harness's own
// mark on the commit (aider's), and only then the harness this process runs under.
// Of that harness a marker naming its session is believed; a bare marker names
// only the live session its adapter finds (else none), and a record without a
// session carries no telemetry, so that nothing is credited to a session that
// cannot be shown to have made the commit.
Attribution
attribute(const stdfs::path& repo_root, const std::string& full, const CaptureOptions& options)
{
  const AgentAdapter* named =
      non_empty(options.agent) ? agents::get_adapter_by_name(*options.agent) : nullptr;
  Attribution found;
  if (non_empty(options.session_id)) {
    // The session's own store decides: the named adapter is asked first, but any
    // adapter that knows the session wins over a name the caller merely claims.
    std::vector<const AgentAdapter*> candidates;
    if (named != nullptr) {
      candidates.push_back(named);
    }
    for (const AgentAdapter* adapter : agents::iter_adapters()) {
      if (named == nullptr || adapter->name() != named->name()) {
        candidates.push_back(adapter);
      }
    }
    found.session_id = options.session_id;
    for (const AgentAdapter* candidate : candidates) {
      auto telemetry =
          log::_adapter_telemetry(*candidate, repo_root, options.session_id, options.source);
      if (telemetry && !telemetry->empty()) {
        found.adapter = candidate;
        found.telemetry = std::move(telemetry);
        return found;
      }
    }
    found.adapter = named;
    return found;
  }
  // A sessionless claim (the catch-up's for aider) stands only on the mark itself.
  if (named != nullptr && marks(*named, repo_root, full)) {
    found.adapter = named;
    return found;
  }
  if (!options.attribute_ambient) {
    return found;
  }
  // aider run in a Claude Code terminal inherits CLAUDECODE=1: its mark wins.
  for (const AgentAdapter* adapter : agents::iter_adapters()) {
    if (adapter != named && marks(*adapter, repo_root, full)) {
      found.adapter = adapter;
      return found;
    }
  }
  try {
    found.adapter = agents::detect_active_agent();
  } catch (const std::exception& e) {
    logger().debug_exception("Agent detection failed", e);
  }
  if (found.adapter != nullptr) {
    try {
      found.session_id = found.adapter->get_session_id(repo_root);
    } catch (const std::exception& e) {
      logger().debug_exception("Per-adapter session id lookup failed", e);
    }
    if (non_empty(found.session_id)) {
      found.telemetry =
          log::_adapter_telemetry(*found.adapter, repo_root, found.session_id, options.source);
    } else {
      found.session_id.reset();
    }
  }
  return found;
}

// The commit `sha` names, and HEAD's branch when one git process can tell both
// (`sha` is HEAD itself, as the commit hooks pass it).
struct Resolved {
  std::optional<std::string> commit;
  std::optional<std::string> head_branch;
};

Resolved resolve(const stdfs::path& repo_root, const std::string& sha)
{
  if (sha == "HEAD") {
    if (auto head = log::_head_ref(repo_root)) {
      return {.commit = std::move(head->commit), .head_branch = std::move(head->branch)};
    }
    return {};
  }
  return {.commit = _resolve_full_sha(repo_root, sha), .head_branch = std::nullopt};
}

BackfillResult
capture(const paths::RepositoryHandle& repo, const std::string& sha, const CaptureOptions& options)
{
  const stdfs::path& repo_root = repo.root();
  // The commit hook's path asks git each thing once: HEAD and its branch here, the
  // commit's metadata with the reflog's word on it below.
  const Resolved resolved = resolve(repo_root, sha);
  const std::optional<std::string>& full = resolved.commit;
  if (!full) {
    return {.commit = sha, .reason = k_no_such_commit};
  }
  // The log decides, read from its end, where another trigger's line for this
  // commit would be.  No lock: the write re-checks under it.
  log::CommitSearch own(*full);
  log::CommitSearch& search =
      options.search != nullptr && options.search->commit() == *full ? *options.search : own;
  if (recorded(repo, *full, search)) {
    return already_recorded(*full);
  }
  // An archive, or its note, without the line: a record cut short (a kill, a full
  // disk, a read-only log) is completed, never left to block its commit.
  if ((archive_exists(repo, *full) || note_exists(repo, *full)) &&
      complete_record(repo, *full, search, resolved.head_branch)) {
    return already_recorded(*full);
  }

  if (options.consume_pending && log::_pending_attestation_exists(repo)) {
    const auto result = log::process_pending_attestation(repo, {.commit_override = *full});
    if (result.error && !result.error->empty()) {
      return {.commit = *full, .reason = *result.error};
    }
    if (recorded(repo, *full, search)) {
      return {.commit = *full, .written = true, .attested = true};
    }
    // Filed under another commit whose diff it declared, or set aside as unusable:
    // this one still needs its own record.
  }

  Attribution who = attribute(repo_root, *full, options);

  std::optional<core::Map> developer;
  if (options.attribute_ambient) {
    try {
      developer = shared::detect_git_author(repo_root);
    } catch (const std::exception& e) {
      logger().debug_exception("Developer identity detection failed", e);
    }
  }

  CommitRecordOptions record;
  record.source = options.source;
  record.event = options.event;
  record.archive_ledger = true;
  if (who.adapter != nullptr) {
    record.agent_name = who.adapter->name();
    record.agent_provider = who.adapter->provider();
    record.session_id = who.session_id;
  } else {
    // A session id that no adapter can be tied to is not put on record.
    record.agent_name = "unknown";
  }
  record.telemetry = std::move(who.telemetry);
  record.developer = std::move(developer);
  record.developer_from_commit = !options.attribute_ambient;
  // Two triggers may capture one commit at the same moment: the write checks
  // again under the log lock, reading only what was appended since.
  record.skip_if_logged = &search;
  if (options.attribute_ambient) {
    log::CommitFacts facts = log::_head_commit_facts(repo_root, *full);
    record.cherry_picked_from = cherry_pick_source(repo_root, *full, facts.reflog_subject);
    record.metadata = std::move(facts.metadata);
  }
  // Only a trigger that fires at the commit knows HEAD's branch is the commit's.
  const bool ambient = options.attribute_ambient;
  record.branch_is_head = ambient;
  return write_commit_record_with(
      repo, *full, std::move(record), [&]() -> std::optional<std::string> {
        if (!ambient) {
          return std::nullopt;
        }
        if (resolved.head_branch) {
          return resolved.head_branch;
        }
        return log::_git_rev_parse({"--abbrev-ref", "HEAD"}, repo_root);
      });
}

} // namespace

BackfillResult capture_commit(const paths::RepositoryHandle& repo,
                              const std::string& sha,
                              const CaptureOptions& options)
{
  try {
    return capture(repo, sha, options);
  } catch (const std::exception& e) {
    logger().debug_exception("capture_commit failed for " + sha + " (best-effort)", e);
    return {.commit = sha, .reason = core::errors::short_name(e) + ": " + e.what()};
  } catch (...) {
    logger().debug("capture_commit failed for " + sha + " (best-effort)");
    return {.commit = sha, .reason = "unknown error"};
  }
}

BackfillResult
capture_commit(const stdfs::path& repo_root, const std::string& sha, const CaptureOptions& options)
{
  std::optional<paths::RepositoryHandle> repo;
  try {
    repo.emplace(repo_root);
  } catch (const std::exception& e) {
    logger().debug_exception("capture_commit failed for " + sha + " (best-effort)", e);
    return {.commit = sha, .reason = core::errors::short_name(e) + ": " + e.what()};
  }
  return capture_commit(*repo, sha, options);
}

std::optional<std::string> record_commit(const stdfs::path& repo_root, const std::string& event)
{
  const auto result = capture_commit(repo_root, "HEAD", {.source = "post_commit", .event = event});
  if (result.written || result.reason == ALREADY_RECORDED) {
    return result.commit;
  }
  return std::nullopt;
}

BackfillResult record_backfill(const stdfs::path& repo_root,
                               const std::string& commit,
                               const std::string& session_id,
                               const std::string& task_type)
{
  const auto adapters = agents::iter_adapters();
  const auto full = _resolve_full_sha(repo_root, commit);
  if (!full) {
    return {.commit = commit, .reason = k_no_such_commit};
  }
  const paths::RepositoryHandle repo(repo_root);
  log::CommitSearch search(*full);
  if (recorded(repo, *full, search) || ((archive_exists(repo, *full) || note_exists(repo, *full)) &&
                                        complete_record(repo, *full, search))) {
    return already_recorded(*full);
  }
  // The agent is whichever adapter finds the session in its own store, never a
  // name the caller supplies, so the identity on record can be trusted.
  const AgentAdapter* adapter = nullptr;
  std::optional<core::Map> telemetry;
  for (const AgentAdapter* candidate : adapters) {
    telemetry = log::_adapter_telemetry(*candidate, repo_root, session_id, "backfill");
    if (telemetry && !telemetry->empty()) {
      adapter = candidate;
      break;
    }
  }
  if (adapter == nullptr) {
    return {.commit = *full, .reason = "no agent transcript found for session " + session_id};
  }
  const core::Value* model = telemetry->find("model");
  if (model == nullptr || !core::truthy(*model)) {
    return {.commit = *full, .reason = "transcript for session " + session_id + " names no model"};
  }

  return _write_commit_record(repo,
                              *full,
                              {.source = "backfill",
                               .agent_name = adapter->name(),
                               .agent_provider = adapter->provider(),
                               .session_id = session_id,
                               .telemetry = std::move(telemetry),
                               .task_type = task_type,
                               .archive_ledger = false,
                               .skip_if_logged = &search});
}

std::optional<std::string> _resolve_full_sha(const stdfs::path& repo_root,
                                             const std::string& commit)
{
  std::string answer = log::_git_rev_parse({"--verify", commit + "^{commit}"}, repo_root);
  if (!log::_is_valid_commit_hash(answer)) {
    return std::nullopt;
  }
  return answer;
}

bool _already_recorded(const paths::RepositoryHandle& repo, const std::string& full)
{
  log::CommitSearch search(full);
  return recorded(repo, full, search);
}

bool _commit_already_logged(const stdfs::path& kolvexlog_path, const std::string& commit)
{
  return log::CommitSearch(commit).run(paths::confined(kolvexlog_path)).value_or(false);
}

} // namespace kolvex::services::relaycore::capture
