#include "services/relaycore/log/log_writer.hpp"

#include "core/deadline.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/lines.hpp"
#include "core/logging.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/ledger_archive.hpp"
#include "services/relaycore/log/log_line.hpp"
#include "utils/filelock.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace kolvex::services::relaycore::log {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.log.writer");
  return instance;
}

// What a note asks for: the line appended, or put in place of the commit's line.
constexpr std::string_view k_note_append = "append";
constexpr std::string_view k_note_replace = "replace";

// A note or an archive larger than this is not ours; it is not read whole.
constexpr std::size_t k_max_record_bytes = std::size_t{16} << 20;

// Where records come from that were written without an attestation; their lines
// carry the event of an unattested commit.
constexpr std::array<std::string_view, 3> k_unattested_sources{
    "post_commit", "harness", "catch_up"};

// The commit text names the archive file, so it must be one plain file name: a
// stray "../x" from a caller must not write outside the attestations directory.
void require_file_name(const std::string& commit, const core::fs::Confined& dir)
{
  if (commit.empty() || commit == "." || commit == ".." || commit.find('/') != std::string::npos ||
      commit.find('\0') != std::string::npos) {
    throw stdfs::filesystem_error("commit is not a file name",
                                  dir.full() / commit,
                                  std::make_error_code(std::errc::invalid_argument));
  }
}

core::Value value_or_empty_text(const core::Map& parsed, std::string_view key)
{
  const core::Value* value = parsed.find(key);
  return value != nullptr ? *value : core::Value("");
}

// The log line of a record, keys in the order every reader expects.
core::Map build_entry(const std::string& commit,
                      const std::string& branch,
                      const core::Map& parsed,
                      const std::optional<std::string>& event)
{
  core::Map entry;
  entry.set("commit", commit);
  entry.set("branch", branch);
  entry.set("timestamp", value_or_empty_text(parsed, "timestamp"));
  entry.set("agent", value_or_empty_text(parsed, "agent"));
  entry.set("summary", value_or_empty_text(parsed, "summary"));
  entry.set("synced", false);
  if (event && !event->empty()) {
    entry.set("event", *event);
  }
  static constexpr std::array<std::string_view, 5> k_copied{
      "agent_provider", "agent_id", "agent_session_id", "developer", "telemetry"};
  for (const std::string_view key : k_copied) {
    const core::Value* value = parsed.find(key);
    if (value != nullptr && core::truthy(*value)) {
      entry.set(key, *value);
    }
  }
  // A cherry-pick's archive holds the record it was picked from; its line names
  // that record's commit.
  if (const core::Value* picked = parsed.find("cherry_picked_from");
      picked != nullptr && picked->is_map()) {
    if (const core::Value* from = picked->get("commit"); from != nullptr && from->is_string()) {
      entry.set("cherry_picked_from", *from);
    }
  }
  return entry;
}

// Does `line` (untrimmed, as json.loads would see it) hold an object whose
// "commit" equals `commit`?  The scan settles the usual plain-text case; anything
// escaped is parsed in full.
bool line_has_commit(std::string_view line, const core::Value& commit)
{
  const LogLineScan scan = scan_log_line(line);
  if (scan.shape != LogLineScan::Shape::object) {
    return false;
  }
  if (commit.is_string() && !scan.escaped_key) {
    if (scan.commit.empty()) {
      return false;
    }
    if (const auto text = plain_json_string(scan.commit)) {
      return *text == commit.as_string();
    }
    if (scan.commit.front() != '"') {
      return false;
    }
  }
  try {
    const core::Value value = core::json::parse(line);
    const core::Value* found = value.get("commit");
    return value.is_map() && (found != nullptr ? *found == commit : commit.is_null());
  } catch (const core::json::JsonError&) {
    return false;
  }
}

// The note beside an archive: what to do, then the line.
void write_note(const core::fs::Confined& attestations,
                const std::string& commit,
                std::string_view action,
                const std::string& line)
{
  const core::fs::Confined note = paths::unlogged_note(attestations, commit);
  core::fs::create_directories(note.parent());
  core::fs::remove_file(note);
  std::string text(action);
  text += '\n';
  text += line;
  core::fs::append_line(note, text);
}

void remove_note(const core::fs::Confined& attestations, const std::string& commit)
{
  core::fs::remove_file(paths::unlogged_note(attestations, commit));
}

struct Note {
  bool replace = false;
  core::Map entry;
};

// The note of `commit`, when there is one that reads as a note.
std::optional<Note> read_note(const core::fs::Confined& attestations, const std::string& commit)
{
  const core::fs::Confined at = paths::unlogged_note(attestations, commit);
  try {
    if (!core::fs::regular_file_exists(at)) {
      return std::nullopt; // an archive from before notes were kept
    }
    const std::string text = core::fs::read_text(at, k_max_record_bytes);
    const auto newline = text.find('\n');
    const std::string_view action = std::string_view(text).substr(0, newline);
    if (newline == std::string::npos || (action != k_note_append && action != k_note_replace)) {
      return std::nullopt;
    }
    core::Value line = core::json::parse(std::string_view(text).substr(newline + 1));
    const core::Value* named = line.get("commit");
    if (!line.is_map() || named == nullptr || !(*named == core::Value(commit))) {
      return std::nullopt;
    }
    return Note{action == k_note_replace, std::move(line.as_map())};
  } catch (const std::exception& e) {
    // Missing, cut short by the kill it records, or not ours: the archive decides.
    logger().debug_exception("note of " + commit + " not usable", e);
    return std::nullopt;
  }
}

// The line of an archive that has no note: the archive's own fields, as the writer
// of that era would have put them on the line.
core::Map entry_from_archive(const core::fs::Confined& attestations,
                             const std::string& commit,
                             const std::string& branch)
{
  core::Map parsed;
  try {
    core::Value value = core::yaml::load(
        core::fs::read_text(attestations / (commit + ".yaml"), k_max_record_bytes));
    if (value.is_map()) {
      parsed = std::move(value.as_map());
    }
  } catch (const std::exception& e) {
    // The commit still gets its line, with the fields left empty.
    logger().debug_exception("archive of " + commit + " not readable", e);
  }
  std::optional<std::string> event;
  const core::Value* source = parsed.find("source");
  if (source != nullptr && source->is_string()) {
    for (const std::string_view unattested : k_unattested_sources) {
      if (source->as_string() == unattested) {
        event = "commit_unattested";
      }
    }
  }
  return build_entry(commit, branch, parsed, event);
}

// The log written anew through a temporary sibling ("log.jsonl.<random>.tmp", the
// name the next writer's lock clears when a kill leaves one), a block at a time:
// a rewrite of a log of any size holds one block.  The sibling takes the log's
// place only at `commit`; dropped without it, it is removed.
class StreamedReplace {
public:
  explicit StreamedReplace(const core::fs::Confined& log) : m_log(log)
  {
    std::random_device random;
    for (int attempt = 0;; ++attempt) {
      char suffix[17];
      (void)std::snprintf(suffix, sizeof suffix, "%08x%08x", random(), random());
      m_temp = log.parent() / (log.rel.filename().string() + "." + suffix + ".tmp");
      try {
        m_file = core::fs::open_regular(m_temp, O_WRONLY | O_CREAT | O_EXCL, 0600);
        return;
      } catch (const std::system_error& e) {
        if (e.code() != std::errc::file_exists || attempt >= 16) {
          throw;
        }
      }
    }
  }
  StreamedReplace(const StreamedReplace&) = delete;
  StreamedReplace& operator=(const StreamedReplace&) = delete;
  ~StreamedReplace()
  {
    if (!m_committed) {
      try {
        m_file = core::fs::Fd();
        (void)core::fs::remove_file(m_temp);
      } catch (const std::exception& e) {
        logger().debug_exception("temporary log copy not removed; the next writer removes it", e);
      }
    }
  }

  void add(std::string_view bytes)
  {
    m_buffer += bytes;
    if (m_buffer.size() >= k_block) {
      flush();
    }
  }

  void commit()
  {
    flush();
    if (::fsync(m_file.get()) != 0) {
      throw std::system_error(
          errno, std::generic_category(), "cannot fsync " + m_temp.full().string());
    }
    m_file = core::fs::Fd();
    core::fs::rename_file(m_temp, m_log);
    m_committed = true;
    // Makes the rename itself durable.  Best-effort, as for every atomic replace: the
    // data is already safe in the file.
    try {
      const core::fs::Fd dir = core::fs::open_directory(m_log.parent());
      (void)::fsync(dir.get());
    } catch (const std::system_error& e) {
      logger().debug_exception("log directory not synced after the rewrite", e);
    }
  }

private:
  static constexpr std::size_t k_block = std::size_t{1} << 20;

  void flush()
  {
    core::fs::write_all(m_file.get(), m_buffer, "cannot write " + m_temp.full().string());
    m_buffer.clear();
  }

  core::fs::Confined m_log;
  core::fs::Confined m_temp;
  core::fs::Fd m_file;
  std::string m_buffer;
  bool m_committed = false;
};

void append_or_replace(const core::fs::Confined& log, const core::Map& entry, bool replace)
{
  if (replace && _replace_log_entry(log, entry)) {
    return;
  }
  _append_log_entry(log, entry);
}

} // namespace

RecordFiles record_files(const paths::RepositoryHandle& repo)
{
  return {.log = repo.at(paths::log_jsonl(repo.root())),
          .attestations = repo.at(paths::attestations_dir(repo.root()))};
}

LogLock::LogLock(const core::fs::Confined& log)
    : m_lock(log, utils::filelock::DEFAULT_TIMEOUT_SECONDS)
{
  if (!m_lock.acquired()) {
    return;
  }
  const std::string prefix = log.rel.filename().string() + ".";
  try {
    for (const std::string& name : core::fs::list_regular_files(log.parent())) {
      if (name.starts_with(prefix) && name.ends_with(".tmp")) {
        (void)core::fs::remove_file(log.parent() / name);
      }
    }
  } catch (const std::system_error& e) {
    logger().debug_exception("Leftover temporary files beside the log not removed", e);
  }
}

std::string log_line_text(const core::Map& entry)
{
  std::string line = core::json::dump(core::Value(entry));
  line += '\n';
  return line;
}

void _append_log_entry(const core::fs::Confined& log, const core::Map& entry)
{
  const std::string line = log_line_text(entry);
  core::fs::create_directories(log.parent());
  const LogLock lock(log);
  core::fs::append_line(log, line);
}

bool _replace_log_entry(const core::fs::Confined& log, const core::Map& entry)
{
  if (entry.find("commit") == nullptr) {
    throw std::invalid_argument("a log entry to replace needs a \"commit\"");
  }
  return _replace_log_entries(log, {entry}) == 1;
}

std::size_t _replace_log_entries(const core::fs::Confined& log,
                                 const std::vector<core::Map>& entries)
{
  std::vector<const core::Value*> commits;
  for (const core::Map& entry : entries) {
    const core::Value* commit = entry.find("commit");
    if (commit == nullptr) {
      throw std::invalid_argument("a log entry to replace needs a \"commit\"");
    }
    commits.push_back(commit);
  }
  if (entries.empty() || !core::fs::regular_file_exists(log)) {
    return 0;
  }
  const LogLock lock(log);
  const core::fs::Fd file = core::fs::open_regular(log, O_RDONLY);

  // Untouched lines keep their bytes; only their ends become a single "\n".  Under
  // the lock no writer of ours is mid-line, so a last line without its end is kept.
  // The copy is written as the log is read, a block at a time, and dropped when no
  // line was replaced (the callers ask only for a line they found).
  StreamedReplace out(log);
  std::vector<bool> done(entries.size(), false);
  std::size_t replaced = 0;
  const auto keep_line = [&](std::string_view line) {
    std::size_t at = 0;
    while (replaced < entries.size() && at < entries.size() &&
           (done[at] || !line_has_commit(line, *commits[at]))) {
      ++at;
    }
    if (replaced < entries.size() && at < entries.size()) {
      out.add(core::json::dump(core::Value(entries[at])));
      done[at] = true;
      ++replaced;
    } else {
      out.add(line);
    }
    out.add("\n");
  };
  core::lines::LineBlockReader reader(file.get());
  while (const auto block = reader.next()) {
    core::fs::require_utf8(*block, log.full(), reader.offset());
    core::lines::for_each_line(*block, keep_line);
  }
  core::fs::require_utf8(reader.tail(), log.full(), reader.whole_lines_end());
  core::lines::for_each_line(reader.tail(), keep_line);
  if (replaced > 0) {
    out.commit();
  }
  return replaced;
}

PreparedRecord _prepare_record(const core::fs::Confined& attestations,
                               const core::Map& parsed,
                               const LogAttestationOptions& options)
{
  const std::optional<stdfs::path>& repo_root = options.repo_root;
  std::string commit = options.commit_override && !options.commit_override->empty()
                           ? *options.commit_override
                           : _git_rev_parse({"HEAD"}, repo_root);
  // Asked even for an older commit: the line records what was checked out when
  // it was written.
  const std::string branch = options.head_branch
                                 ? *options.head_branch
                                 : _git_rev_parse({"--abbrev-ref", "HEAD"}, repo_root);
  require_file_name(commit, attestations);
  core::Map entry = build_entry(commit, branch, parsed, options.event);
  return {.commit = std::move(commit),
          .parsed = parsed,
          .archive_text = core::yaml::dump(core::Value(parsed)),
          .entry = std::move(entry),
          .repo_root = repo_root,
          .archive_ledger = options.archive_ledger};
}

bool _file_record(const core::fs::Confined& log,
                  const core::fs::Confined& attestations,
                  const PreparedRecord& record,
                  IfLogged if_logged,
                  CommitSearch* search)
{
  bool logged = false;
  if (if_logged != IfLogged::append) {
    std::optional<CommitSearch> own;
    if (search == nullptr) {
      search = &own.emplace(record.commit);
    }
    logged = search->run(log).value_or(false);
    if (logged && if_logged == IfLogged::skip) {
      return false;
    }
  }
  require_file_name(record.commit, attestations);
  // A log that is a link or a special file refuses the line; finding that out now
  // keeps the archive from being written for a line that never can be.
  (void)core::fs::regular_file_exists(log);
  const bool replace = logged && if_logged == IfLogged::replace;
  write_note(attestations,
             record.commit,
             replace ? k_note_replace : k_note_append,
             log_line_text(record.entry));
  core::fs::atomic_replace(attestations / (record.commit + ".yaml"), record.archive_text);
  if (record.repo_root && record.archive_ledger) {
    _archive_ledger_segment(*record.repo_root, attestations, record.parsed, record.commit);
  }
  append_or_replace(log, record.entry, replace);
  remove_note(attestations, record.commit);
  return true;
}

bool _complete_record(const core::fs::Confined& log,
                      const core::fs::Confined& attestations,
                      const std::string& commit,
                      const std::string& branch,
                      CommitSearch& search)
{
  require_file_name(commit, attestations);
  const std::optional<Note> note = read_note(attestations, commit);
  if (!core::fs::regular_file_exists(attestations / (commit + ".yaml"))) {
    // Cut short before the archive: nothing of the record was kept.
    remove_note(attestations, commit);
    return search.run(log).value_or(false);
  }
  const bool logged = search.run(log).value_or(false);
  if (note && (note->replace || !logged)) {
    append_or_replace(log, note->entry, note->replace);
  } else if (!logged) {
    append_or_replace(log, entry_from_archive(attestations, commit, branch), false);
  }
  remove_note(attestations, commit);
  logger().debug("completed the record of " + commit + " from its archive");
  return search.run(log).value_or(false);
}

std::vector<std::string> _unlogged_commits(const core::fs::Confined& attestations)
{
  std::vector<std::string> commits;
  for (const std::string& name : core::fs::list_regular_files(paths::unlogged_dir(attestations))) {
    if (name.size() > 6 && name.ends_with(".jsonl")) {
      commits.push_back(name.substr(0, name.size() - 6));
    }
  }
  return commits;
}

bool _log_attestation(const core::fs::Confined& log,
                      const core::fs::Confined& attestations,
                      const core::Map& parsed,
                      const LogAttestationOptions& options)
{
  const PreparedRecord record = _prepare_record(attestations, parsed, options);
  core::deadline::check("filing the record of " + record.commit);
  const IfLogged if_logged = options.skip_if_logged != nullptr ? IfLogged::skip
                             : options.replace_existing        ? IfLogged::replace
                                                               : IfLogged::append;
  core::fs::create_directories(log.parent());
  const LogLock lock(log);
  return _file_record(log, attestations, record, if_logged, options.skip_if_logged);
}

} // namespace kolvex::services::relaycore::log
