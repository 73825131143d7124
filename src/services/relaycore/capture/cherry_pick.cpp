#include "services/relaycore/capture/cherry_pick.hpp"

#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/change_hash.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_line.hpp"

#include <algorithm>
#include <exception>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kolvex::services::relaycore::capture {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.cherry_pick");
  return instance;
}

// The log's most recent distinct commits other than `sha`, newest first, at most
// CHERRY_PICK_CANDIDATES of them.
std::vector<std::string> recent_logged_commits(const stdfs::path& log_path, const std::string& sha)
{
  std::vector<std::string> commits;
  (void)log::for_each_log_line(paths::confined(log_path), [&](std::string_view line) {
    const log::LogLineScan scan = log::scan_log_line(line);
    if (const auto commit = log::plain_json_string(scan.commit);
        commit && log::_is_valid_commit_hash(*commit) && *commit != sha) {
      commits.emplace_back(*commit);
    }
  });
  std::vector<std::string> recent;
  std::unordered_set<std::string> seen;
  for (auto at = commits.rbegin(); at != commits.rend() && recent.size() < CHERRY_PICK_CANDIDATES;
       ++at) {
    if (seen.insert(*at).second) {
      recent.push_back(*at);
    }
  }
  return recent;
}

// The record of `commit` as a rewrite carries it: its event and its archive (the
// line's own keys when the archive is missing).
core::Map record_of(const stdfs::path& repo_root, const std::string& commit, core::Map line)
{
  core::Map attestation;
  try {
    const core::fs::Confined at =
        paths::confined(paths::attestations_dir(repo_root) / (commit + ".yaml"));
    if (core::fs::regular_file_exists(at)) {
      core::Value parsed = core::yaml::load(core::fs::read_text(at));
      if (parsed.is_map()) {
        attestation = std::move(parsed.as_map());
      }
    }
  } catch (const std::exception& e) {
    logger().debug_exception("archive of " + commit + " unreadable; its log line stands for it", e);
  }
  std::string event;
  if (const core::Value* value = line.find("event"); value != nullptr && value->is_string()) {
    event = value->as_string();
  }
  if (attestation.empty()) {
    for (const auto& [key, value] : line) {
      if (key != "commit" && key != "branch" && key != "synced" && key != "uploaded" &&
          key != "event" && key != "replaced_by") {
        attestation.set(key, value);
      }
    }
  }
  return core::Map{{"commit", commit}, {"event", event}, {"attestation", std::move(attestation)}};
}

} // namespace

std::optional<core::Map> cherry_pick_source(const stdfs::path& repo_root, const std::string& sha)
{
  try {
    const std::string last =
        log::_git({"log", "-g", "-n", "1", "--format=%H %gs", "HEAD"}, repo_root);
    const std::string prefix = sha + " ";
    if (!last.starts_with(prefix)) {
      return std::nullopt;
    }
    return cherry_pick_source(repo_root, sha, last.substr(prefix.size()));
  } catch (const std::exception& e) {
    logger().debug_exception("cherry-pick source lookup failed (best-effort)", e);
    return std::nullopt;
  }
}

std::optional<core::Map> cherry_pick_source(const stdfs::path& repo_root,
                                            const std::string& sha,
                                            const std::optional<std::string>& reflog_subject)
{
  try {
    // HEAD's newest reflog entry: "cherry-pick: <subject>" right after a pick,
    // "commit (cherry-pick): ..." after one that stopped on a conflict.
    if (!reflog_subject || (!reflog_subject->starts_with("cherry-pick") &&
                            !reflog_subject->starts_with("commit (cherry-pick)"))) {
      return std::nullopt;
    }
    const stdfs::path log_path = paths::log_jsonl(repo_root);
    std::vector<std::string> candidates = recent_logged_commits(log_path, sha);
    if (candidates.empty()) {
      return std::nullopt;
    }
    candidates.insert(candidates.begin(), sha);
    const auto ids = log::commit_patch_ids(repo_root, candidates);
    const auto own = ids.find(sha);
    if (own == ids.end()) {
      return std::nullopt;
    }
    const auto source =
        std::find_if(candidates.begin() + 1, candidates.end(), [&](const std::string& commit) {
          const auto id = ids.find(commit);
          return id != ids.end() && id->second == own->second;
        });
    if (source == candidates.end()) {
      return std::nullopt;
    }
    auto lines = log::read_log_records(paths::confined(log_path), {*source});
    const auto line = lines.find(*source);
    if (line == lines.end()) {
      return std::nullopt;
    }
    return record_of(repo_root, *source, std::move(line->second));
  } catch (const std::exception& e) {
    logger().debug_exception("cherry-pick source lookup failed (best-effort)", e);
    return std::nullopt;
  }
}

} // namespace kolvex::services::relaycore::capture
