#include "services/relaycore/sync/notes.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/process.hpp"
#include "core/text.hpp"
#include "paths.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_line.hpp"
#include "services/relaycore/sync/note_signing.hpp"
#include "services/relaycore/sync/upload.hpp"

#include <algorithm>
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

// The note blob of each commit that has one under `ref`: `git notes list` prints
// "<blob> <commit>".
std::unordered_map<std::string, std::string> note_blobs(const stdfs::path& repo_root,
                                                        std::string_view ref = NOTES_REF)
{
  std::unordered_map<std::string, std::string> blobs;
  const auto listed = git(repo_root, {"notes", "--ref=" + std::string(ref), "list"});
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

// Every remote's fetched notes ref (refs/notes/remotes/<remote>/kolvex).
std::vector<std::string> fetched_notes_refs(const stdfs::path& repo_root)
{
  std::vector<std::string> refs;
  const auto listed =
      git(repo_root, {"for-each-ref", "--format=%(refname)", std::string(REMOTE_NOTES_PREFIX)});
  if (listed.exit_code != 0) {
    return refs;
  }
  for (const std::string_view line : core::fs::splitlines(listed.out)) {
    if (line.ends_with("/kolvex")) {
      refs.emplace_back(line);
    }
  }
  return refs;
}

// The version a note line holds as the record of `commit`, if any.
std::optional<NoteVersion> parse_line(std::string_view line, std::string_view commit)
{
  NoteVersion version;
  std::string_view record_text = line;
  const std::string marker = ", \"" + std::string(SIGNATURE_MEMBER) + "\": ";
  // The signature member is the last one, written after the record's own text: the
  // record is exactly what comes before it, so a signature covers bytes, not a
  // re-encoding of them.
  if (const std::size_t at = line.rfind(marker);
      at != std::string_view::npos && line.ends_with('}')) {
    const std::string_view signature_text =
        line.substr(at + marker.size(), line.size() - 1 - at - marker.size());
    version.record_text = std::string(line.substr(0, at)) + "}";
    record_text = version.record_text;
    const core::Value signature = core::json::parse(signature_text);
    const core::Value* format = signature.is_map() ? signature.get("format") : nullptr;
    const core::Value* armored = signature.is_map() ? signature.get("signature") : nullptr;
    if (format == nullptr || !format->is_string() || armored == nullptr || !armored->is_string()) {
      return std::nullopt;
    }
    version.signature = NoteSignature{format->as_string(), armored->as_string()};
  } else {
    version.record_text = std::string(line);
  }
  core::Value value = core::json::parse(record_text);
  if (!value.is_map()) {
    return std::nullopt;
  }
  const core::Value* named = value.get("commit");
  // A note copied onto another commit (git's notes.rewrite) is not that commit's
  // record.
  if (named == nullptr || !named->is_string() || named->as_string() != commit) {
    return std::nullopt;
  }
  version.record = std::move(value.as_map());
  version.signed_payload = signed_payload(commit, version.record_text);
  return version;
}

std::string timestamp_of(const core::Map& record)
{
  const core::Value* value = record.find("timestamp");
  return value != nullptr && value->is_string() ? value->as_string() : std::string();
}

// Whether the note blob `blob` holds `record_text` as the one record of `commit`,
// signed when `signing` (a signature is not made again: gpg's carry a time).
bool holds_only(const stdfs::path& repo_root,
                const std::string& blob,
                const std::string& commit,
                const std::string& record_text,
                bool signing)
{
  const auto shown = git(repo_root, {"cat-file", "blob", blob});
  if (shown.exit_code != 0) {
    return false;
  }
  const auto versions = parse_note_versions(shown.out, commit);
  return versions.size() == 1 && versions[0].record_text == record_text &&
         (versions[0].signature.has_value() || !signing);
}

// write_notes with the archive directory opened once (nullopt: it could not be,
// and each record is completed by name, which says why it fails).
NotesResult write_notes_with(const stdfs::path& repo_root,
                             const std::vector<std::string>& commits,
                             const std::optional<paths::DirectoryHandle>& archives)
{
  NotesResult result;
  const std::unordered_set<std::string> wanted(commits.begin(), commits.end());
  auto lines = rlog::read_log_records(paths::confined(paths::log_jsonl(repo_root)), wanted);
  const stdfs::path attestations_dir = paths::attestations_dir(repo_root);
  // Written on top of the fetched notes, so that the push after it fast-forwards.
  (void)merge_fetched_notes(repo_root);
  const auto blobs = note_blobs(repo_root);
  const std::optional<SigningKey> key = signing_key(repo_root);
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
    if (!(archives ? _complete_upload_record(record, *archives)
                   : _complete_upload_record(record, attestations_dir))) {
      ++result.failed;
      continue;
    }
    const std::string record_text =
        core::json::dump(core::Value(without_outside_paths(record, repo_root)));
    const auto existing = blobs.find(commit);
    if (existing != blobs.end() &&
        holds_only(repo_root, existing->second, commit, record_text, key.has_value())) {
      ++result.unchanged;
      continue;
    }
    std::optional<NoteSignature> signature;
    if (key) {
      signature = sign_payload(repo_root, *key, signed_payload(commit, record_text));
      if (!signature) {
        ++result.not_signed;
      }
    }
    const std::string text = note_line(record_text, signature) + "\n";
    const auto hashed = git(repo_root, {"hash-object", "-w", "--stdin"}, text);
    const std::string blob(core::text::trim(hashed.out));
    if (hashed.exit_code != 0 || blob.empty()) {
      ++result.failed;
      continue;
    }
    if (existing != blobs.end() && existing->second == blob) {
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

} // namespace

std::string signed_payload(std::string_view commit, std::string_view record_text)
{
  return "kolvex record of commit " + std::string(commit) + "\n" + std::string(record_text);
}

std::string note_line(std::string_view record_text, const std::optional<NoteSignature>& signature)
{
  if (!signature || record_text.size() < 3 || !record_text.ends_with('}')) {
    return std::string(record_text);
  }
  const core::Map member{{"format", signature->format}, {"signature", signature->signature}};
  return std::string(record_text.substr(0, record_text.size() - 1)) + ", \"" +
         std::string(SIGNATURE_MEMBER) + "\": " + core::json::dump(core::Value(member)) + "}";
}

std::vector<NoteVersion> parse_note_versions(std::string_view text, std::string_view commit)
{
  std::vector<NoteVersion> versions;
  if (text.size() > MAX_NOTE_BYTES) {
    return versions;
  }
  for (const std::string_view line : core::fs::splitlines(text)) {
    const std::string_view trimmed = core::text::trim(line);
    if (trimmed.empty()) {
      continue;
    }
    try {
      if (auto version = parse_line(trimmed, commit)) {
        versions.push_back(std::move(*version));
      }
    } catch (const std::exception&) {
      // not a record line
    }
  }
  return versions;
}

std::size_t best_version(const std::vector<NoteVersion>& versions)
{
  std::size_t best = 0;
  const auto rank = [](const NoteVersion& version) {
    const bool attested = log::classify_log_line(version.record).event == log::LineEvent::attested;
    return std::pair{attested, timestamp_of(version.record)};
  };
  for (std::size_t i = 1; i < versions.size(); ++i) {
    if (rank(versions[i]) >= rank(versions[best])) {
      best = i;
    }
  }
  return best;
}

std::optional<core::Map> parse_note(std::string_view text, std::string_view commit)
{
  auto versions = parse_note_versions(text, commit);
  if (versions.empty()) {
    return std::nullopt;
  }
  return std::move(versions[best_version(versions)].record);
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

std::unordered_map<std::string, std::vector<NoteVersion>>
read_note_versions(const stdfs::path& repo_root, const std::unordered_set<std::string>& commits)
{
  std::unordered_map<std::string, std::vector<NoteVersion>> records;
  if (commits.empty()) {
    return records;
  }
  // Until the fetched notes are merged (the next pull or commit), they are read
  // where the fetch put them.
  std::vector<std::string> refs{std::string(NOTES_REF)};
  for (std::string& ref : fetched_notes_refs(repo_root)) {
    refs.push_back(std::move(ref));
  }
  std::vector<std::pair<std::string, std::string>> wanted; // commit, blob
  std::unordered_set<std::string> seen;                    // commit + blob
  std::string input;
  for (const std::string& ref : refs) {
    for (auto& [commit, blob] : note_blobs(repo_root, ref)) {
      if (commits.contains(commit) && rlog::_is_valid_commit_hash(blob) &&
          seen.insert(commit + blob).second) {
        input += blob + "\n";
        wanted.emplace_back(commit, blob);
      }
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
    auto versions = parse_note_versions((*objects)[i], wanted[i].first);
    if (versions.empty()) {
      continue;
    }
    auto& kept = records[wanted[i].first];
    for (NoteVersion& version : versions) {
      const bool known = std::any_of(kept.begin(), kept.end(), [&version](const NoteVersion& had) {
        return had.record_text == version.record_text &&
               had.signature.has_value() == version.signature.has_value();
      });
      if (!known) {
        kept.push_back(std::move(version));
      }
    }
  }
  return records;
}

std::unordered_map<std::string, core::Map>
read_note_records(const stdfs::path& repo_root, const std::unordered_set<std::string>& commits)
{
  std::unordered_map<std::string, core::Map> records;
  for (auto& [commit, versions] : read_note_versions(repo_root, commits)) {
    records.emplace(commit, std::move(versions[best_version(versions)].record));
  }
  return records;
}

MergeResult merge_fetched_notes(const stdfs::path& repo_root)
{
  MergeResult result;
  try {
    const std::string local(NOTES_REF);
    // A clone without a name of its own still merges: the notes commit is kolvex's.
    std::vector<std::string> identity;
    if (git(repo_root, {"var", "GIT_COMMITTER_IDENT"}).exit_code != 0) {
      identity = {"-c", "user.name=kolvex", "-c", "user.email=kolvex@localhost"};
    }
    for (const std::string& fetched : fetched_notes_refs(repo_root)) {
      const auto tip = git(repo_root, {"rev-parse", "--verify", "-q", local});
      bool done = false;
      if (tip.exit_code != 0) {
        // Create only: a note written meanwhile is merged on the next run.
        done = git(repo_root, {"update-ref", local, fetched, ""}).exit_code == 0;
      } else if (git(repo_root, {"merge-base", "--is-ancestor", fetched, local}).exit_code == 0) {
        continue;
      } else {
        std::vector<std::string> argv = identity;
        argv.insert(argv.end(),
                    {"notes", notes_ref_option(), "merge", "-q", "-s", "cat_sort_uniq", fetched});
        const auto merged = git(repo_root, argv);
        done = merged.exit_code == 0;
        if (!done) {
          logger().debug("git notes merge of " + fetched + " failed: " + merged.err);
        }
      }
      ++(done ? result.merged : result.failed);
    }
  } catch (const std::exception& e) {
    logger().debug_exception("merging the fetched notes failed", e);
    ++result.failed;
  }
  return result;
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

NotesResult write_notes(const paths::RepositoryHandle& repo,
                        const std::vector<std::string>& commits)
{
  std::optional<paths::DirectoryHandle> archives;
  try {
    archives = repo.open_directory(paths::attestations_dir(repo.root()));
  } catch (const std::system_error&) {
    // Refused or unreadable: each record says so as it is completed.
  }
  return write_notes_with(repo.root(), commits, archives);
}

NotesResult write_notes(const stdfs::path& repo_root, const std::vector<std::string>& commits)
{
  std::optional<paths::RepositoryHandle> repo;
  try {
    repo.emplace(repo_root);
  } catch (const std::system_error&) {
    return write_notes_with(repo_root, commits, std::nullopt);
  }
  return write_notes(*repo, commits);
}

bool push_notes(const stdfs::path& repo_root, const std::string& remote)
{
  const std::string local(NOTES_REF);
  const std::string fetched = std::string(REMOTE_NOTES_PREFIX) + remote + "/kolvex";
  try {
    for (int attempt = 0; attempt < 3; ++attempt) {
      // "--" keeps a remote named like an option from being read as one.
      const auto fetch = git(repo_root,
                             {"fetch",
                              "-q",
                              "--no-write-fetch-head",
                              "--",
                              remote,
                              "+" + local + "*:" + fetched + "*"});
      if (fetch.exit_code != 0) {
        logger().debug("fetching the notes of " + remote + " failed: " + fetch.err);
        return false;
      }
      (void)merge_fetched_notes(repo_root);
      const auto ours = git(repo_root, {"rev-parse", "--verify", "-q", local});
      if (ours.exit_code != 0) {
        return true; // no notes to push
      }
      const auto theirs = git(repo_root, {"rev-parse", "--verify", "-q", fetched});
      if (theirs.exit_code == 0 && theirs.out == ours.out) {
        return true;
      }
      const auto pushed =
          git(repo_root, {"push", "-q", "--no-verify", "--", remote, local + ":" + local});
      if (pushed.exit_code == 0) {
        return true;
      }
      logger().debug("pushing the notes to " + remote + " failed: " + pushed.err);
    }
  } catch (const std::exception& e) {
    logger().debug_exception("pushing the notes failed", e);
  }
  return false;
}

bool notes_enabled(const stdfs::path& repo_root)
{
  try {
    const core::Map config = shared::load_local_config(repo_root);
    const core::Value* on = config.find("notes");
    return on != nullptr && on->is_bool() && on->as_bool();
  } catch (const std::exception&) {
    return false;
  }
}

void write_notes_if_enabled(const stdfs::path& repo_root, const std::vector<std::string>& commits)
{
  if (commits.empty() || !notes_enabled(repo_root)) {
    return;
  }
  try {
    const NotesResult result = write_notes(repo_root, commits);
    if (result.failed > 0) {
      logger().debug(std::to_string(result.failed) + " notes could not be written");
    }
  } catch (const std::exception& e) {
    logger().debug_exception("writing the notes failed (best-effort)", e);
  }
}

} // namespace kolvex::services::relaycore::sync
