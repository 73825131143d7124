#include "services/relaycore/capture/capture.hpp"

#include "agents/registry.hpp"
#include "core/errors.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/text.hpp"
#include "core/logging.hpp"
#include "core/process.hpp"
#include "paths.hpp"
#include "services/git_author.hpp"
#include "services/relaycore/log/enrichment.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/log_line.hpp"
#include "services/relaycore/log/pending.hpp"
#include "utils/filelock.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace kolvex::services::relaycore::capture {

namespace {

namespace stdfs = std::filesystem;
using contracts::AgentAdapter;

constexpr const char* k_no_such_commit = "no such commit in this repo";
constexpr const char* k_already_recorded = "already recorded";

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.capture");
  return instance;
}

bool non_empty(const std::optional<std::string>& text)
{
  return text && !text->empty();
}

// ---- Reading the log ----------------------------------------------------------

// Line boundaries are those of str.splitlines(): LF, VT, FF, CR, FS, GS, RS, and
// NEL, U+2028, U+2029 in UTF-8.

// The start of the line holding `text[pos]`.
std::size_t line_start(std::string_view text, std::size_t pos)
{
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  for (std::size_t i = pos; i > 0; --i) {
    const unsigned char c = at(i - 1);
    if ((c >= 0x0a && c <= 0x0d) || (c >= 0x1c && c <= 0x1e)) {
      return i;
    }
    if (c == 0x85 && i >= 2 && at(i - 2) == 0xc2) {
      return i;
    }
    if ((c == 0xa8 || c == 0xa9) && i >= 3 && at(i - 2) == 0x80 && at(i - 3) == 0xe2) {
      return i;
    }
  }
  return 0;
}

// The end (exclusive) of the line holding `text[pos]` (or starting at `pos`).
std::size_t line_end(std::string_view text, std::size_t pos)
{
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  for (std::size_t i = pos; i < text.size(); ++i) {
    const unsigned char c = at(i);
    if ((c >= 0x0a && c <= 0x0d) || (c >= 0x1c && c <= 0x1e)) {
      return i;
    }
    if (c == 0xc2 && i + 1 < text.size() && at(i + 1) == 0x85) {
      return i;
    }
    if (c == 0xe2 && i + 2 < text.size() && at(i + 1) == 0x80 &&
        (at(i + 2) == 0xa8 || at(i + 2) == 0xa9)) {
      return i;
    }
  }
  return text.size();
}

// Is `line` (one line of the log) a JSON object whose "commit" equals `commit`?
// The scan settles a plain "commit" text without building a Value; anything
// escaped, and bytes that are not UTF-8, take the full parse.
bool line_names_commit(std::string_view line, std::string_view commit)
{
  const std::string_view stripped = core::text::python_strip(line);
  if (stripped.empty()) {
    return false;
  }
  const log::LogLineScan scan = log::scan_log_line(stripped);
  if (scan.shape == log::LogLineScan::Shape::non_object) {
    return false;
  }
  if (scan.shape == log::LogLineScan::Shape::object && !scan.escaped_key) {
    if (scan.commit.empty() || scan.commit.front() != '"') {
      return false;
    }
    if (const auto text = log::plain_json_string(scan.commit)) {
      return *text == commit;
    }
  }
  try {
    const core::Value value = core::json::parse(core::fs::is_valid_utf8(stripped)
                                                    ? std::string(stripped)
                                                    : core::process::decode_replace(stripped));
    const core::Value* found = value.get("commit");
    return found != nullptr && found->is_string() && found->as_string() == commit;
  } catch (const core::json::JsonError&) {
    return false;
  }
}

bool is_ascii_alnum(std::string_view text)
{
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

int hex_value(char c)
{
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Is `text[pos]` the start of an escape "\u00XY" whose character is in `commit`?
bool escapes_commit_char(std::string_view text, std::size_t pos, std::string_view commit)
{
  if (pos + 6 > text.size() || text[pos + 1] != 'u' || text[pos + 2] != '0' ||
      text[pos + 3] != '0') {
    return false;
  }
  const int high = hex_value(text[pos + 4]);
  const int low = hex_value(text[pos + 5]);
  return high >= 0 && low >= 0 &&
         commit.find(static_cast<char>(high * 16 + low)) != std::string_view::npos;
}

// Does a line of `lines` (whole lines: it ends at a line boundary or at the end of
// the file) name `commit`?
//
// Every commit runs this over the whole log, so it must not parse 100,000 lines to
// find nothing.  A line can name a commit of ASCII letters and digits only by
// holding its bytes as they are, or by spelling some of them as JSON escapes,
// which for these characters can only be "\u00XY" with XY the character's code.
// So only the lines around those two kinds of byte runs are judged, each exactly
// as a full parse would.  Any other commit text takes the plain walk over lines.
bool lines_name_commit(std::string_view lines, std::string_view commit)
{
  if (!is_ascii_alnum(commit)) {
    const auto split = core::fs::splitlines(lines);
    return std::any_of(split.begin(), split.end(), [&](std::string_view line) {
      return line_names_commit(line, commit);
    });
  }
  const auto judge_line_at = [&](std::size_t pos, std::size_t length) {
    const std::size_t start = line_start(lines, pos);
    const std::size_t end = line_end(lines, pos + length);
    return std::pair(line_names_commit(lines.substr(start, end - start), commit), end);
  };
  for (std::size_t from = 0; from < lines.size();) {
    const void* hit =
        ::memmem(lines.data() + from, lines.size() - from, commit.data(), commit.size());
    if (hit == nullptr) {
      break;
    }
    const auto [names, end] = judge_line_at(
        static_cast<std::size_t>(static_cast<const char*>(hit) - lines.data()), commit.size());
    if (names) {
      return true;
    }
    from = end;
  }
  for (std::size_t from = 0; from < lines.size();) {
    const void* hit = std::memchr(lines.data() + from, '\\', lines.size() - from);
    if (hit == nullptr) {
      break;
    }
    const auto pos = static_cast<std::size_t>(static_cast<const char*>(hit) - lines.data());
    if (!escapes_commit_char(lines, pos, commit)) {
      from = pos + 1;
      continue;
    }
    const auto [names, end] = judge_line_at(pos, 6);
    if (names) {
      return true;
    }
    from = end;
  }
  return false;
}

// The log is read in pieces of this size into one buffer, and judged a run of
// whole lines at a time: a fresh buffer the size of a large log would cost more in
// page faults than the search itself.
constexpr std::size_t k_chunk_size = std::size_t{256} << 10;

// Does the file at `path` name `commit` on some line?  nullopt when it cannot be
// read (missing, a directory, no permission).
std::optional<bool> file_names_commit(const stdfs::path& path, std::string_view commit)
{
  core::fs::Fd file;
  try {
    file = core::fs::open_regular(paths::confined(path), O_RDONLY);
  } catch (const std::system_error&) {
    return std::nullopt; // a link or a special file is refused like a missing one
  }
  const int fd = file.get();
  std::vector<char> buffer(k_chunk_size);
  std::size_t carried = 0; // an unfinished last line, moved to the front
  for (;;) {
    if (buffer.size() - carried < k_chunk_size) {
      buffer.resize(carried + k_chunk_size); // a line longer than a chunk
    }
    const ssize_t n = ::read(fd, buffer.data() + carried, k_chunk_size);
    if (n < 0) {
      if (errno == EINTR) {
        continue;
      }
      return std::nullopt;
    }
    if (n == 0) {
      return lines_name_commit(std::string_view(buffer.data(), carried), commit);
    }
    const std::size_t filled = carried + static_cast<std::size_t>(n);
    const void* last = ::memrchr(buffer.data(), '\n', filled);
    if (last == nullptr) {
      carried = filled;
      continue;
    }
    // Every "\n" ends a line, so the run up to the last one is whole lines.
    const auto whole = static_cast<std::size_t>(static_cast<const char*>(last) - buffer.data()) + 1;
    if (lines_name_commit(std::string_view(buffer.data(), whole), commit)) {
      return true;
    }
    std::memmove(buffer.data(), buffer.data() + whole, filled - whole);
    carried = filled - whole;
  }
}

// ---- Capture -------------------------------------------------------------------

// Throws UnsafePathError when the archive, or a directory above it, is a link: the
// capture then stops before writing anything there.
bool archive_exists(const stdfs::path& repo_root, const std::string& full)
{
  return core::fs::regular_file_exists(
      paths::confined(paths::attestations_dir(repo_root) / (full + ".yaml")));
}

BackfillResult already_recorded(const std::string& full)
{
  return {.commit = full, .reason = k_already_recorded};
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

BackfillResult
capture(const stdfs::path& repo_root, const std::string& sha, const CaptureOptions& options)
{
  const auto full = _resolve_full_sha(repo_root, sha);
  if (!full) {
    return {.commit = sha, .reason = k_no_such_commit};
  }
  // An archive file alone settles it, without waiting for the lock.
  if (archive_exists(repo_root, *full)) {
    return already_recorded(*full);
  }
  // Two triggers may fire for one commit at the same moment.  Checking again under
  // the log lock, and writing before it is released, leaves exactly one record;
  // the appends inside take the same lock again, which it allows.
  const auto lock = utils::filelock::locked(paths::log_jsonl(repo_root));
  if (_already_recorded(repo_root, *full)) {
    return already_recorded(*full);
  }

  if (options.consume_pending) {
    if (log::_pending_attestation_exists(repo_root)) {
      const auto result = log::process_pending_attestation(repo_root, {.commit_override = *full});
      if (result.error && !result.error->empty()) {
        return {.commit = *full, .reason = *result.error};
      }
      if (_already_recorded(repo_root, *full)) {
        return {.commit = *full, .written = true, .attested = true};
      }
      // Filed under another commit whose diff it declared: this one still needs
      // its own record.
    }
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
  // Only a trigger that fires at the commit knows HEAD's branch is the commit's.
  const bool ambient = options.attribute_ambient;
  return write_commit_record_with(
      repo_root, *full, std::move(record), [&]() -> std::optional<std::string> {
        if (!ambient) {
          return std::nullopt;
        }
        return log::_git_rev_parse({"--abbrev-ref", "HEAD"}, repo_root);
      });
}

} // namespace

BackfillResult
capture_commit(const stdfs::path& repo_root, const std::string& sha, const CaptureOptions& options)
{
  try {
    return capture(repo_root, sha, options);
  } catch (const std::exception& e) {
    logger().debug_exception("capture_commit failed for " + sha + " (best-effort)", e);
    return {.commit = sha, .reason = core::errors::short_name(e) + ": " + e.what()};
  } catch (...) {
    logger().debug("capture_commit failed for " + sha + " (best-effort)");
    return {.commit = sha, .reason = "unknown error"};
  }
}

std::optional<std::string> record_commit(const stdfs::path& repo_root, const std::string& event)
{
  const auto result = capture_commit(repo_root, "HEAD", {.source = "post_commit", .event = event});
  if (result.written || result.reason == k_already_recorded) {
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
  if (_already_recorded(repo_root, *full)) {
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

  const auto lock = utils::filelock::locked(paths::log_jsonl(repo_root));
  if (_already_recorded(repo_root, *full)) {
    return already_recorded(*full);
  }
  return _write_commit_record(repo_root,
                              *full,
                              {.source = "backfill",
                               .agent_name = adapter->name(),
                               .agent_provider = adapter->provider(),
                               .session_id = session_id,
                               .telemetry = std::move(telemetry),
                               .task_type = task_type,
                               .archive_ledger = false});
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

bool _already_recorded(const stdfs::path& repo_root, const std::string& full)
{
  if (archive_exists(repo_root, full)) {
    return true;
  }
  return _commit_already_logged(paths::log_jsonl(repo_root), full);
}

bool _commit_already_logged(const stdfs::path& kolvexlog_path, const std::string& commit)
{
  return file_names_commit(kolvexlog_path, commit).value_or(false);
}

} // namespace kolvex::services::relaycore::capture
