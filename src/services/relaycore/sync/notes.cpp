#include "services/relaycore/sync/notes.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "paths.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/sync/upload.hpp"

#include <charconv>
#include <utility>

namespace kolvex::services::relaycore::sync {

namespace {

namespace stdfs = std::filesystem;
namespace rlog = log;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.notes");
  return instance;
}

core::process::Result git(const stdfs::path& repo_root,
                          std::vector<std::string> args,
                          std::optional<std::string> input = std::nullopt)
{
  args.insert(args.begin(), "git");
  core::process::Options options;
  options.cwd = repo_root;
  options.input = std::move(input);
  options.timeout = std::chrono::seconds(60);
  return core::process::run(args, options);
}

std::string notes_ref_option()
{
  return "--ref=" + std::string(NOTES_REF);
}

// The note blob of each commit that has one: `git notes list` prints "<blob> <commit>".
std::unordered_map<std::string, std::string> note_blobs(const stdfs::path& repo_root)
{
  std::unordered_map<std::string, std::string> blobs;
  const auto listed = git(repo_root, {"notes", notes_ref_option(), "list"});
  if (listed.exit_code != 0) {
    return blobs; // no notes ref yet
  }
  for (const std::string_view line : core::fs::splitlines(listed.out)) {
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) {
      continue;
    }
    blobs.emplace(std::string(line.substr(space + 1)), std::string(line.substr(0, space)));
  }
  return blobs;
}

// Whether `text` looks like a path of this machine: absolute (or under ~) and
// without blanks, as a path in a record would be and prose is not.
bool looks_like_path(std::string_view text)
{
  if (text.size() < 2 || text.find_first_of(" \t\n") != std::string_view::npos) {
    return false;
  }
  if (text.starts_with("~/")) {
    return true;
  }
  const bool drive = text.size() > 2 && text[1] == ':' && (text[2] == '\\' || text[2] == '/');
  return drive || (text.front() == '/' && text.find('/', 1) != std::string_view::npos);
}

// `value` fit for a note; nullopt when it must be left out.
std::optional<core::Value> scrubbed(const core::Value& value, const stdfs::path& repo_root)
{
  if (value.is_string()) {
    const std::string& text = value.as_string();
    if (!looks_like_path(text)) {
      return value;
    }
    const stdfs::path path(text);
    const stdfs::path relative = path.lexically_normal().lexically_relative(repo_root);
    if (path.is_absolute() && !relative.empty() && *relative.begin() != "..") {
      return core::Value(relative.string());
    }
    return std::nullopt;
  }
  if (value.is_map()) {
    return core::Value(without_outside_paths(value.as_map(), repo_root));
  }
  if (value.is_list()) {
    core::List list;
    for (const core::Value& item : value.as_list()) {
      if (auto kept = scrubbed(item, repo_root)) {
        list.push_back(std::move(*kept));
      }
    }
    return core::Value(std::move(list));
  }
  return value;
}

} // namespace

std::optional<core::Map> parse_note(std::string_view text, std::string_view commit)
{
  if (text.size() > MAX_NOTE_BYTES) {
    return std::nullopt;
  }
  try {
    core::Value value = core::json::parse(core::text::trim(text));
    if (!value.is_map()) {
      return std::nullopt;
    }
    const core::Value* named = value.get("commit");
    // A note copied onto another commit (git's notes.rewrite) is not that commit's
    // record.
    if (named == nullptr || !named->is_string() || named->as_string() != commit) {
      return std::nullopt;
    }
    return std::move(value.as_map());
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::vector<std::string>> parse_cat_file_batch(std::string_view text)
{
  std::vector<std::string> objects;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t end = text.find('\n', at);
    if (end == std::string_view::npos) {
      return std::nullopt;
    }
    const std::string_view header = text.substr(at, end - at);
    at = end + 1;
    if (header.ends_with(" missing")) {
      objects.emplace_back();
      continue;
    }
    // "<oid> <type> <size>"
    const std::size_t last = header.rfind(' ');
    if (last == std::string_view::npos) {
      return std::nullopt;
    }
    std::size_t size = 0;
    const std::string_view digits = header.substr(last + 1);
    const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), size);
    if (parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size() || digits.empty() ||
        size > text.size() - at || text.size() - at - size < 1 || text[at + size] != '\n') {
      return std::nullopt;
    }
    objects.emplace_back(text.substr(at, size));
    at += size + 1;
  }
  return objects;
}

std::unordered_map<std::string, core::Map>
read_note_records(const stdfs::path& repo_root, const std::unordered_set<std::string>& commits)
{
  std::unordered_map<std::string, core::Map> records;
  if (commits.empty()) {
    return records;
  }
  std::vector<std::pair<std::string, std::string>> wanted; // commit, blob
  std::string input;
  for (auto& [commit, blob] : note_blobs(repo_root)) {
    if (commits.contains(commit) && rlog::_is_valid_commit_hash(blob)) {
      input += blob + "\n";
      wanted.emplace_back(commit, blob);
    }
  }
  if (wanted.empty()) {
    return records;
  }
  const auto batch = git(repo_root, {"cat-file", "--batch"}, input);
  const auto objects = batch.exit_code == 0 ? parse_cat_file_batch(batch.out) : std::nullopt;
  if (!objects || objects->size() != wanted.size()) {
    logger().debug("git cat-file gave no usable answer for the notes");
    return records;
  }
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (auto record = parse_note((*objects)[i], wanted[i].first)) {
      records.emplace(wanted[i].first, std::move(*record));
    }
  }
  return records;
}

core::Map without_outside_paths(const core::Map& record, const stdfs::path& repo_root)
{
  core::Map kept;
  for (const auto& [key, value] : record) {
    if (auto fit = scrubbed(value, repo_root)) {
      kept.set(key, std::move(*fit));
    }
  }
  return kept;
}

NotesResult write_notes(const stdfs::path& repo_root, const std::vector<std::string>& commits)
{
  NotesResult result;
  const std::unordered_set<std::string> wanted(commits.begin(), commits.end());
  auto lines = rlog::read_log_records(paths::log_jsonl(repo_root), wanted);
  const stdfs::path attestations_dir = paths::attestations_dir(repo_root);
  const auto blobs = note_blobs(repo_root);
  std::unordered_set<std::string> done;
  for (const std::string& commit : commits) {
    if (!done.insert(commit).second) {
      continue;
    }
    auto line = lines.find(commit);
    if (line == lines.end()) {
      ++result.not_recorded;
      continue;
    }
    core::Map record = line->second;
    // Whether the cloud has it says nothing about the commit, and would make the
    // note change on every sync.
    record.erase("synced");
    record.erase("uploaded");
    if (!_complete_upload_record(record, attestations_dir)) {
      ++result.failed;
      continue;
    }
    const std::string text =
        core::json::dump(core::Value(without_outside_paths(record, repo_root))) + "\n";
    const auto hashed = git(repo_root, {"hash-object", "-w", "--stdin"}, text);
    const std::string blob(core::text::trim(hashed.out));
    if (hashed.exit_code != 0 || blob.empty()) {
      ++result.failed;
      continue;
    }
    if (auto existing = blobs.find(commit); existing != blobs.end() && existing->second == blob) {
      ++result.unchanged;
      continue;
    }
    // -C keeps the blob byte for byte (no message clean-up).
    const auto added =
        git(repo_root, {"notes", notes_ref_option(), "add", "-f", "-C", blob, commit});
    if (added.exit_code != 0) {
      logger().debug("git notes add failed for " + commit + ": " + added.err);
      ++result.failed;
      continue;
    }
    ++result.written;
  }
  return result;
}

} // namespace kolvex::services::relaycore::sync
