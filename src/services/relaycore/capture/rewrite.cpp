#include "services/relaycore/capture/rewrite.hpp"

#include "core/deadline.hpp"
#include "core/fs.hpp"
#include "core/logging.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/change_hash.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_line.hpp"
#include "services/relaycore/log/log_writer.hpp"
#include "services/relaycore/sync/notes.hpp"
#include "utils/filelock.hpp"

#include <algorithm>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace kolvex::services::relaycore::capture {

namespace {

namespace stdfs = std::filesystem;
namespace rlog = log;
namespace rsync = sync;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.rewrite");
  return instance;
}

// Keys a carried record says itself; a record carried again gets them afresh.
constexpr std::string_view k_from_key = "rewritten_from";
constexpr std::string_view k_absorbed_key = "absorbed_records";
// The old commit's own line names the commit that replaced it.
constexpr std::string_view k_replaced_key = "replaced_by";
constexpr std::string_view k_carried_hash_key = "carried_diff_hash";

// One record as the log and the archive hold it.
struct Held {
  std::string commit;
  core::Map line{};    // the log line
  core::Map archive{}; // the archived attestation; built from the line when missing
  bool attested = false;
  bool carried = false; // it is itself a carried record
};

std::string text_of(const core::Map& map, std::string_view key)
{
  const core::Value* value = map.find(key);
  return value != nullptr && value->is_string() ? value->as_string() : std::string();
}

bool line_attested(const core::Map& record)
{
  return rlog::classify_log_line(record).event == rlog::LineEvent::attested;
}

// The archive of `commit`, or nullopt when it is missing or unreadable.
std::optional<core::Map> read_archive(const stdfs::path& attestations_dir,
                                      const std::string& commit)
{
  try {
    const core::fs::Confined at = paths::confined(attestations_dir / (commit + ".yaml"));
    if (!core::fs::regular_file_exists(at)) {
      return std::nullopt;
    }
    core::Value parsed = core::yaml::load(core::fs::read_text(at));
    if (parsed.is_map()) {
      return std::move(parsed.as_map());
    }
  } catch (const std::exception& e) {
    logger().debug_exception("archive of " + commit + " unreadable; its log line stands for it", e);
  }
  return std::nullopt;
}

// What the log line says, as an attestation map, for a record whose archive is gone.
core::Map archive_from_line(const core::Map& line)
{
  core::Map map;
  for (const auto& [key, value] : line) {
    if (key != "commit" && key != "branch" && key != "synced" && key != "uploaded" &&
        key != "event" && key != k_replaced_key) {
      map.set(key, value);
    }
  }
  return map;
}

Held held(const std::string& commit, core::Map line, std::optional<core::Map> archive)
{
  Held record;
  record.commit = commit;
  record.line = std::move(line);
  record.attested = line_attested(record.line);
  record.archive = archive ? std::move(*archive) : archive_from_line(record.line);
  record.carried = record.archive.contains(k_from_key);
  return record;
}

// A record read back from its git note: the note is the upload record, which holds
// the archived attestation under "attestation" beside the line's own keys.
Held held_from_note(const std::string& commit, core::Map note)
{
  std::optional<core::Map> archive;
  if (const core::Value* attestation = note.find("attestation");
      attestation != nullptr && attestation->is_map()) {
    archive = attestation->as_map();
  }
  note.erase("attestation");
  note.erase("ledger");
  return held(commit, std::move(note), std::move(archive));
}

std::vector<std::string> texts(const core::Value* list)
{
  std::vector<std::string> out;
  if (list != nullptr && list->is_list()) {
    for (const core::Value& item : list->as_list()) {
      if (item.is_string()) {
        out.push_back(item.as_string());
      }
    }
  }
  return out;
}

core::List as_list(const std::vector<std::string>& shas)
{
  core::List list;
  for (const std::string& sha : shas) {
    list.emplace_back(sha);
  }
  return list;
}

// The record the new commit gets: `primary`'s attestation with the link to every
// old record and, apart from the primary's own, the old records themselves.  Old
// commits that were never recorded are named too ("recorded": false): the new
// commit holds their work, and nothing attests it.
core::Map carried_archive(const Held& primary,
                          const std::vector<const Held*>& olds,
                          const std::vector<std::string>& unrecorded)
{
  core::Map archive = primary.archive;
  archive.erase(k_from_key);
  archive.erase(k_absorbed_key);
  archive.erase(k_carried_hash_key);
  std::vector<std::string> from;
  core::List absorbed;
  for (const Held* old : olds) {
    from.push_back(old->commit);
    if (old != &primary) {
      absorbed.emplace_back(core::Map{{"commit", old->commit},
                                      {"event", text_of(old->line, "event")},
                                      {"attestation", old->archive}});
    }
  }
  for (const std::string& sha : unrecorded) {
    absorbed.emplace_back(core::Map{{"commit", sha}, {"recorded", false}});
  }
  archive.set(k_from_key, as_list(from));
  if (!absorbed.empty()) {
    archive.set(k_absorbed_key, std::move(absorbed));
  }
  return archive;
}

// Whether the record `current` of the new commit already links every old record.
bool already_carried(const Held* current, const std::vector<const Held*>& olds)
{
  if (current == nullptr || !current->carried) {
    return false;
  }
  const std::vector<std::string> from = texts(current->archive.find(k_from_key));
  return std::all_of(olds.begin(), olds.end(), [&](const Held* old) {
    return std::find(from.begin(), from.end(), old->commit) != from.end();
  });
}

// An attestation's staged-diff hash names the diff its commit had.  A rebase onto
// a moved base changes that diff's context (line numbers, blob ids) but not its
// patch, so when the one old commit a new one replaces held the attested change and
// both have the same patch id, the carried record also names the new commit's own
// diff, "carried_diff_hash", for `kolvex log` to compare with.
class MovedPatches {
public:
  // Asks git about every new commit that replaces exactly one attested old one:
  // one call for their diffs' hashes, one for their patch ids.
  void ask(const stdfs::path& repo_root,
           const std::vector<std::pair<std::string, std::vector<std::string>>>& groups,
           const std::unordered_map<std::string, Held>& records)
  {
    std::vector<std::string> commits;
    for (const auto& [new_sha, old_shas] : groups) {
      const auto old = old_shas.size() == 1 ? records.find(old_shas.front()) : records.end();
      if (old != records.end() && old->second.attested) {
        commits.push_back(old_shas.front());
        commits.push_back(new_sha);
      }
    }
    if (commits.empty()) {
      return;
    }
    m_hashes = rlog::commit_change_hashes(repo_root, commits);
    m_patch_ids = rlog::commit_patch_ids(repo_root, commits);
  }

  // Sets (or drops) "carried_diff_hash" in `archive`, carried from `old` to `new_sha`.
  void apply(const Held& old, const std::string& new_sha, core::Map& archive) const
  {
    archive.erase(k_carried_hash_key);
    const auto old_hashes = m_hashes.find(old.commit);
    const auto new_hashes = m_hashes.find(new_sha);
    const auto old_id = m_patch_ids.find(old.commit);
    const auto new_id = m_patch_ids.find(new_sha);
    if (old_hashes == m_hashes.end() || new_hashes == m_hashes.end() ||
        old_id == m_patch_ids.end() || new_id == m_patch_ids.end() ||
        old_id->second != new_id->second) {
      return;
    }
    std::string declared = text_of(old.archive, "staged_diff_hash");
    if (declared.empty()) {
      declared = text_of(old.archive, "diff_hash");
    }
    const bool held_it = old_hashes->second.matches(declared) ||
                         old_hashes->second.matches(text_of(old.archive, k_carried_hash_key));
    if (held_it && !new_hashes->second.matches(declared)) {
      archive.set(k_carried_hash_key, new_hashes->second.lf_only);
    }
  }

private:
  std::unordered_map<std::string, rlog::ChangeHashes> m_hashes;
  std::unordered_map<std::string, std::string> m_patch_ids;
};

// Commits a rebase made and then replaced itself, each with the commit that
// replaced it: the first pick of a squash or fixup, amended by the next step.  Read
// off HEAD's reflog back to the rebase's start, so it needs none of git's hook
// input (a marked block hands the hook none).  Each is followed to the last commit
// of its chain of squashes and fixups.
std::vector<RewritePair> intermediate_pairs(const stdfs::path& repo_root)
{
  const std::string reflog =
      rlog::_git({"log", "-g", "-n", "500", "--format=%H %gs", "HEAD"}, repo_root);
  std::vector<std::pair<std::string, std::string>> steps; // newest first
  for (const std::string_view line : core::fs::splitlines(reflog)) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) {
      break;
    }
    const std::string_view subject = line.substr(space + 1);
    if (!subject.starts_with("rebase")) {
      break;
    }
    if (subject.find("(start)") != std::string_view::npos) {
      break;
    }
    steps.emplace_back(std::string(line.substr(0, space)), std::string(subject));
  }
  std::vector<RewritePair> pairs;
  std::string last; // the end of the chain the newer steps belong to
  for (std::size_t at = 0; at < steps.size(); ++at) {
    const bool folds = steps[at].second.find("(squash)") != std::string::npos ||
                       steps[at].second.find("(fixup)") != std::string::npos;
    if (!folds) {
      last.clear();
      continue;
    }
    if (last.empty()) {
      last = steps[at].first;
    }
    if (at + 1 < steps.size() && steps[at + 1].first != last) {
      RewritePair pair{steps[at + 1].first, last};
      if (rlog::_is_valid_commit_hash(pair.old_sha) && rlog::_is_valid_commit_hash(pair.new_sha)) {
        pairs.push_back(std::move(pair));
      }
    }
  }
  return pairs;
}

// Queues `old`'s log line for marking as replaced by `new_sha`, unless it says so
// already or the record came from a git note (the log has no line to mark).  The
// line keeps its "synced": a record the server has stays had.
void mark_replaced(std::vector<core::Map>& replaced,
                   const std::unordered_set<std::string>& lines_held,
                   const Held& old,
                   const std::string& new_sha)
{
  if (!lines_held.contains(old.commit) || text_of(old.line, k_replaced_key) == new_sha) {
    return;
  }
  core::Map line = old.line;
  line.set(k_replaced_key, new_sha);
  replaced.push_back(std::move(line));
}

// Each new commit with its old ones, in git's order.
using Groups = std::vector<std::pair<std::string, std::vector<std::string>>>;

// The pairs grouped by new commit, a commit rewritten into itself left out.
Groups group_pairs(const std::vector<RewritePair>& pairs)
{
  Groups groups;
  for (const RewritePair& pair : pairs) {
    if (pair.old_sha == pair.new_sha) {
      continue;
    }
    auto group = std::find_if(
        groups.begin(), groups.end(), [&](const auto& g) { return g.first == pair.new_sha; });
    if (group == groups.end()) {
      group = groups.insert(groups.end(), {pair.new_sha, {}});
    }
    if (std::find(group->second.begin(), group->second.end(), pair.old_sha) ==
        group->second.end()) {
      group->second.push_back(pair.old_sha);
    }
  }
  return groups;
}

// The records of every commit of `groups`, and which of them the log holds a line
// for (the others came from git notes).
struct Records {
  std::unordered_map<std::string, Held> by_commit;
  std::unordered_set<std::string> lines_held;
};

Records load_records(const stdfs::path& repo_root, const Groups& groups)
{
  std::unordered_set<std::string> wanted;
  for (const auto& [new_sha, old_shas] : groups) {
    wanted.insert(new_sha);
    wanted.insert(old_shas.begin(), old_shas.end());
  }
  Records records;
  const stdfs::path attestations_dir = paths::attestations_dir(repo_root);
  // One read of the log for every commit of the rewrite.
  for (auto& [commit, line] :
       rlog::read_log_records(paths::confined(paths::log_jsonl(repo_root)), wanted)) {
    records.lines_held.insert(commit);
    records.by_commit.emplace(
        commit, held(commit, std::move(line), read_archive(attestations_dir, commit)));
  }
  // A clone that fetched the notes has records the local log never held; git is
  // asked for them only when an old commit has no line.
  std::unordered_set<std::string> unlogged;
  for (const auto& group : groups) {
    for (const std::string& old : group.second) {
      if (!records.by_commit.contains(old)) {
        unlogged.insert(old);
      }
    }
  }
  if (!unlogged.empty()) {
    for (auto& [commit, note] : rsync::read_note_records(repo_root, unlogged)) {
      records.by_commit.emplace(commit, held_from_note(commit, std::move(note)));
    }
  }
  return records;
}

// Carries the records of `old_shas` onto `new_sha` and queues their lines in
// `replaced` for marking.
CarryResult carry_group(const paths::RepositoryHandle& repo,
                        const std::string& new_sha,
                        const std::vector<std::string>& old_shas,
                        const Records& records,
                        MovedPatches& moved,
                        std::vector<core::Map>& replaced)
{
  CarryResult result;
  result.commit = new_sha;
  std::vector<const Held*> olds;
  std::vector<std::string> unrecorded;
  for (const std::string& old : old_shas) {
    if (auto found = records.by_commit.find(old); found != records.by_commit.end()) {
      olds.push_back(&found->second);
    } else {
      unrecorded.push_back(old);
    }
  }
  const auto own = records.by_commit.find(new_sha);
  const Held* current = own == records.by_commit.end() ? nullptr : &own->second;
  if (olds.empty()) {
    result.reason = "no old commit of it has a record";
    return result;
  }
  for (const Held* old : olds) {
    result.rewritten_from.push_back(old->commit);
    mark_replaced(replaced, records.lines_held, *old, new_sha);
  }
  if (already_carried(current, olds)) {
    result.reason = "already carried";
    return result;
  }
  // The new commit's own attestation is never replaced by an older one; its own
  // deterministic record gives way to an old attestation.
  const bool own_record = current != nullptr && !current->carried;
  const auto first_attested =
      std::find_if(olds.begin(), olds.end(), [](const Held* h) { return h->attested; });
  const Held* primary = own_record && current->attested ? current
                        : first_attested != olds.end()  ? *first_attested
                        : own_record                    ? current
                                                        : olds.front();
  core::Map archive = carried_archive(*primary, olds, unrecorded);
  if (primary != current && olds.size() == 1 && unrecorded.empty()) {
    moved.apply(*primary, new_sha, archive);
  }
  std::optional<std::string> event;
  if (!primary->attested) {
    event = text_of(primary->line, "event");
  }
  core::deadline::check("carrying the record of " + new_sha);
  const rlog::RecordFiles files = rlog::record_files(repo);
  rlog::PreparedRecord record = rlog::_prepare_record(files.attestations,
                                                      archive,
                                                      {.commit_override = new_sha,
                                                       .repo_root = repo.root(),
                                                       .archive_ledger = false,
                                                       .event = event});
  record.entry.set(k_from_key, as_list(result.rewritten_from));
  core::fs::create_directories(files.log.parent());
  const rlog::LogLock lock(files.log);
  rlog::_file_record(files.log, files.attestations, record, rlog::IfLogged::replace);
  result.written = true;
  return result;
}

// The first pick of a squash is in no pair git hands over, yet its post-commit
// hook recorded it: its line is queued in `replaced` too.
void queue_first_picks(const stdfs::path& repo_root, std::vector<core::Map>& replaced)
{
  const std::vector<RewritePair> intermediates = intermediate_pairs(repo_root);
  if (intermediates.empty()) {
    return;
  }
  std::unordered_set<std::string> firsts;
  for (const RewritePair& pair : intermediates) {
    firsts.insert(pair.old_sha);
  }
  auto first_lines = rlog::read_log_records(paths::confined(paths::log_jsonl(repo_root)), firsts);
  for (const RewritePair& pair : intermediates) {
    const auto line = first_lines.find(pair.old_sha);
    const bool queued = std::any_of(replaced.begin(), replaced.end(), [&](const core::Map& m) {
      return text_of(m, "commit") == pair.old_sha;
    });
    if (line != first_lines.end() && !queued &&
        text_of(line->second, k_replaced_key) != pair.new_sha) {
      core::Map marked = line->second;
      marked.set(k_replaced_key, pair.new_sha);
      replaced.push_back(std::move(marked));
    }
  }
}

} // namespace

std::vector<RewritePair> parse_rewrite_pairs(std::string_view text)
{
  std::vector<RewritePair> pairs;
  for (const std::string_view line : core::fs::splitlines(text)) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) {
      continue;
    }
    const std::string_view rest = line.substr(space + 1);
    RewritePair pair{std::string(line.substr(0, space)),
                     std::string(rest.substr(0, rest.find(' ')))};
    if (rlog::_is_valid_commit_hash(pair.old_sha) && rlog::_is_valid_commit_hash(pair.new_sha)) {
      pairs.push_back(std::move(pair));
    }
  }
  return pairs;
}

std::vector<RewritePair> rewrite_pairs_from_repository(const stdfs::path& repo_root)
{
  // While a rebase finishes, git keeps the list it hands the hook in its state.
  for (const char* state : {"rebase-merge/rewritten-list", "rebase-apply/rewritten"}) {
    const std::string file = rlog::_git({"rev-parse", "--git-path", state}, repo_root);
    if (file.empty()) {
      continue;
    }
    const stdfs::path path = stdfs::path(file).is_absolute() ? stdfs::path(file) : repo_root / file;
    try {
      if (core::fs::stat_path(path)) {
        return parse_rewrite_pairs(core::fs::read_text(path, 16U << 20U));
      }
    } catch (const std::exception& e) {
      logger().debug_exception("rebase state unreadable", e);
    }
  }
  const std::string subject =
      rlog::_git({"log", "-g", "-n", "1", "--format=%gs", "HEAD"}, repo_root);
  if (!subject.starts_with("commit (amend)")) {
    return {};
  }
  const std::string old_sha = rlog::_git({"rev-parse", "--verify", "-q", "HEAD@{1}"}, repo_root);
  const std::string new_sha = rlog::_git({"rev-parse", "--verify", "-q", "HEAD"}, repo_root);
  return parse_rewrite_pairs(old_sha + " " + new_sha + "\n");
}

std::vector<CarryResult> carry_rewritten_records(const stdfs::path& repo_root,
                                                 const std::vector<RewritePair>& pairs)
{
  const Groups groups = group_pairs(pairs);
  std::vector<CarryResult> results;
  if (groups.empty()) {
    return results;
  }
  const paths::RepositoryHandle repo(repo_root);
  const Records records = load_records(repo_root, groups);
  MovedPatches moved;
  moved.ask(repo_root, groups, records.by_commit);
  std::vector<core::Map> replaced; // old lines to mark, written in one rewrite
  for (const auto& [new_sha, old_shas] : groups) {
    results.push_back(carry_group(repo, new_sha, old_shas, records, moved, replaced));
  }
  queue_first_picks(repo_root, replaced);
  if (!replaced.empty()) {
    (void)rlog::_replace_log_entries(rlog::record_files(repo).log, replaced);
  }
  return results;
}

} // namespace kolvex::services::relaycore::capture
