#include "services/relaycore/capture/catch_up.hpp"

#include "agents/registry.hpp"
#include "core/clock.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/capture/capture.hpp"
#include "services/relaycore/log/commit_search.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "utils/filelock.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <system_error>
#include <utility>

namespace kolvex::services::relaycore::capture {

namespace stdfs = std::filesystem;

namespace {

const core::logging::Logger k_log("kolvex.relaycore.capture.catch_up");

// `text` read as a number the way git's epoch seconds are written, or nullopt.
std::optional<double> parse_number(std::string_view text)
{
  const std::string trimmed(core::text::trim(text));
  if (trimmed.empty() || trimmed.find_first_of("xX") != std::string::npos) {
    return std::nullopt;
  }
  char* end = nullptr;
  const double value = std::strtod(trimmed.c_str(), &end);
  if (end != trimmed.c_str() + trimmed.size()) {
    return std::nullopt;
  }
  return value;
}

// Whole-second modification time of the regular file `p`, or nullopt when it
// cannot be read (a link or a special file included).
std::optional<double> whole_second_mtime(const stdfs::path& p)
{
  try {
    if (const auto st = core::fs::stat_regular(paths::confined(p))) {
      return static_cast<double>(st->st_mtim.tv_sec);
    }
  } catch (const std::system_error&) {
  }
  return std::nullopt;
}

// One session's claim on a commit: (adapter name, session id) and how strong it is.
struct Claim {
  std::string agent;
  std::string session_id;
  contracts::ClaimKind kind;
  bool operator==(const Claim&) const = default;
};

// Every adapter is asked once for the whole batch.  A session listed twice for one
// commit is still one claim; only distinct claims are kept.
std::map<std::string, std::vector<Claim>> collect_claims(const stdfs::path& repo_root,
                                                         const std::vector<std::string>& pending,
                                                         std::optional<double> since,
                                                         const contracts::CommitTimes& times)
{
  std::map<std::string, std::vector<Claim>> claims;
  for (const auto* adapter : agents::iter_adapters()) {
    std::string name;
    try {
      name = adapter->name();
      const auto answer = adapter->commit_claims(repo_root, pending, since, times);
      for (const auto& [sha, of_adapter] : answer) {
        auto& of_sha = claims[sha];
        for (const auto& session : of_adapter) {
          Claim claim{name, session.session_id, session.kind};
          if (std::find(of_sha.begin(), of_sha.end(), claim) == of_sha.end()) {
            of_sha.push_back(std::move(claim));
          }
        }
      }
    } catch (const std::exception& e) {
      k_log.debug_exception(name + " session scan failed (best-effort)", e);
    }
  }
  return claims;
}

// The one claimant of a commit, if there is exactly one.  Proof found by any
// harness outranks timing claims from all of them, and a tie at the strongest kind
// (two sessions, of one harness or of two) names nobody: "unknown" is better than a
// guess that sends one session's telemetry to another's commit.
const Claim* sole_claimant(const std::vector<Claim>& claims)
{
  const bool any_proof = std::any_of(claims.begin(), claims.end(), [](const Claim& claim) {
    return claim.kind == contracts::ClaimKind::proof;
  });
  const Claim* sole = nullptr;
  for (const auto& claim : claims) {
    if (any_proof && claim.kind != contracts::ClaimKind::proof) {
      continue;
    }
    if (sole != nullptr && (sole->agent != claim.agent || sole->session_id != claim.session_id)) {
      return nullptr;
    }
    sole = &claim;
  }
  return sole;
}

// Every record cut short before its line (its note says which) gets the line now,
// whichever commit it belongs to: the walk below reaches only the newest commits,
// and nothing else would come back to an older one.
void complete_cut_short_records(const paths::RepositoryHandle& repo)
{
  const log::RecordFiles files = log::record_files(repo);
  std::vector<std::string> commits;
  try {
    commits = log::_unlogged_commits(files.attestations);
  } catch (const std::system_error& e) {
    k_log.debug_exception("listing unfinished records failed (best-effort)", e);
    return;
  }
  if (commits.empty()) {
    return;
  }
  const std::string branch = log::_git_rev_parse({"--abbrev-ref", "HEAD"}, repo.root());
  for (const auto& commit : commits) {
    try {
      log::CommitSearch search(commit);
      (void)log::_complete_record(files.log, files.attestations, commit, branch, search);
    } catch (const std::exception& e) {
      k_log.debug_exception("completing the record of " + commit + " failed (best-effort)", e);
    }
  }
}

} // namespace

std::vector<BackfillResult> catch_up_commits(const stdfs::path& repo_root, int limit)
{
  try {
    if (!shared::local_config_exists(repo_root)) {
      return {};
    }
    // Two session starts in one repository must not walk the same backlog at once.
    // The records are appended under this same lock again, which the re-entrant
    // lock lets through.
    const paths::RepositoryHandle repo(repo_root);
    const auto lock =
        utils::filelock::locked(log::record_files(repo).log, CATCH_UP_LOCK_TIMEOUT_SECONDS);
    if (!lock.acquired()) {
      return {};
    }
    return _walk_and_record(repo, limit);
  } catch (const std::exception& e) {
    k_log.debug_exception("catch_up_commits failed (best-effort)", e);
    return {};
  }
}

std::vector<BackfillResult> _walk_and_record(const paths::RepositoryHandle& repo, int limit)
{
  const stdfs::path& repo_root = repo.root();
  std::vector<BackfillResult> results;
  try {
    if (!shared::local_config_exists(repo_root)) {
      return results;
    }
    complete_cut_short_records(repo);
    const std::optional<double> floor = _config_anchor(repo_root);
    const bool first_run = _nothing_recorded_yet(repo);
    // Past a recorded commit, an unrecorded one is a capture that failed (a full
    // disk, a read-only cache) when it was made after kolvex was set up; an older
    // one is history from before, never to be recorded as new work.
    bool past_recorded = false;

    struct Walked {
      std::string sha;
      std::optional<double> time;
    };
    std::vector<Walked> walked;
    const std::string listing =
        log::_git({"log", "--format=%H %ct", "-n" + std::to_string(limit)}, repo_root);
    for (const auto& line : core::text::split(listing, '\n')) {
      const auto blank = line.find(' ');
      std::string sha = line.substr(0, blank);
      if (!sha.empty()) {
        walked.push_back({std::move(sha),
                          parse_number(blank == std::string::npos ? "" : line.substr(blank + 1))});
      }
    }
    // One read of the log answers for the whole walk; the captures below resume
    // these searches.  A log that cannot be read leaves each answer to the archive.
    std::vector<std::string> shas;
    for (const Walked& commit : walked) {
      shas.push_back(commit.sha);
    }
    std::optional<std::vector<log::CommitSearch>> searches =
        log::CommitSearch::run_all(log::record_files(repo).log, shas);

    std::vector<std::string> pending;
    std::map<std::string, log::CommitSearch*> search_of;
    contracts::CommitTimes commit_times;
    for (std::size_t i = 0; i < walked.size(); ++i) {
      const std::string& sha = walked[i].sha;
      const std::optional<double> time = walked[i].time;
      // The setup's own second is left out here: a commit in it may predate it.
      if (past_recorded && (!floor || !time || *time <= *floor)) {
        continue; // from before the setup (or not datable): not searched for
      }
      if (searches ? (*searches)[i].found() : _already_recorded(repo, sha)) {
        past_recorded = true;
        continue;
      }
      // Ties go to recording: a commit in the anchor's own second is kept.
      if (first_run && floor && time && *time < *floor) {
        continue;
      }
      pending.push_back(sha);
      if (searches) {
        search_of[sha] = &(*searches)[i];
      }
      if (time) {
        commit_times[sha] = *time;
      }
    }
    if (pending.empty()) {
      return results;
    }

    const auto since =
        parse_number(log::_git({"log", "-1", "--format=%ct", pending.back()}, repo_root));
    const auto claims = collect_claims(repo_root, pending, since, commit_times);

    for (const auto& sha : pending) {
      CaptureOptions options;
      options.source = "catch_up";
      // The session starting now did not see these commits being made; only the
      // harnesses' own records may name who made them, and only unambiguously.
      options.consume_pending = false;
      options.attribute_ambient = false;
      if (const auto it = search_of.find(sha); it != search_of.end()) {
        options.search = it->second;
      }
      if (const auto it = claims.find(sha); it != claims.end()) {
        if (const Claim* claim = sole_claimant(it->second)) {
          options.agent = claim->agent;
          // A harness that keeps no sessions (aider) claims with its mark alone.
          if (!claim->session_id.empty()) {
            options.session_id = claim->session_id;
          }
        }
      }
      results.push_back(capture_commit(repo, sha, options));
    }
    return results;
  } catch (const std::exception& e) {
    k_log.debug_exception("catch-up walk failed (best-effort)", e);
    return results;
  }
}

bool _nothing_recorded_yet(const paths::RepositoryHandle& repo)
{
  try {
    const log::RecordFiles files = log::record_files(repo);
    const auto log = core::fs::stat_regular(files.log);
    if (log && log->st_size > 0) {
      return false;
    }
    for (const auto& name : core::fs::list_regular_files(files.attestations)) {
      // As the glob "*.yaml" matches: hidden names are not matched by "*".
      if (name.size() > 5 && name.ends_with(".yaml") && name.front() != '.') {
        return false;
      }
    }
  } catch (const std::system_error&) {
    // Unreadable (or refused): nothing we can see is recorded.
  }
  return true;
}

std::optional<double> _installed_at(const stdfs::path& repo_root)
{
  core::Map config;
  try {
    config = shared::load_local_config(repo_root);
  } catch (const std::exception&) {
    return std::nullopt;
  }
  const core::Value* value = config.find("installed_at");
  if (value == nullptr || !value->is_string()) {
    return std::nullopt;
  }
  std::string text = value->as_string();
  for (auto pos = text.find('Z'); pos != std::string::npos; pos = text.find('Z', pos)) {
    text.replace(pos, 1, "+00:00");
  }
  const auto parsed = core::clock::parse_iso8601(text);
  if (!parsed) {
    return std::nullopt;
  }
  // to_epoch takes a date-time without a zone as UTC.
  return std::trunc(core::clock::to_epoch(*parsed));
}

std::optional<double> _config_anchor(const stdfs::path& repo_root)
{
  if (const auto installed = _installed_at(repo_root)) {
    return installed;
  }
  // git times have one-second resolution: a commit made moments after the
  // configuration was written shares its second and must not read as older.
  for (const auto& candidate : {paths::local_config(repo_root),
                                paths::legacy_config_yaml(repo_root),
                                paths::legacy_config_json(repo_root)}) {
    if (const auto mtime = whole_second_mtime(candidate)) {
      return mtime;
    }
  }
  return std::nullopt;
}

} // namespace kolvex::services::relaycore::capture
