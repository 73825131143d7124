#include "services/relaycore/log/log_writer.hpp"

#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "services/relaycore/log/git.hpp"
#include "services/relaycore/log/ledger_archive.hpp"
#include "services/relaycore/log/log_line.hpp"
#include "utils/filelock.hpp"

#include <array>
#include <stdexcept>
#include <string_view>
#include <system_error>

namespace kolvex::services::relaycore::log {

namespace {

namespace stdfs = std::filesystem;

// The commit text names the archive file, so it must be one plain file name: a
// stray "../x" from a caller must not write outside the attestations directory.
void require_file_name(const std::string& commit, const stdfs::path& dir)
{
  if (commit.empty() || commit == "." || commit == ".." || commit.find('/') != std::string::npos ||
      commit.find('\0') != std::string::npos) {
    throw stdfs::filesystem_error("commit is not a file name",
                                  dir / commit,
                                  std::make_error_code(std::errc::invalid_argument));
  }
}

core::Value value_or_empty_text(const core::Map& parsed, std::string_view key)
{
  const core::Value* value = parsed.find(key);
  return value != nullptr ? *value : core::Value("");
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

} // namespace

std::string log_line_text(const core::Map& entry)
{
  std::string line = core::json::dump(core::Value(entry));
  line += '\n';
  return line;
}

void _append_log_entry(const stdfs::path& kolvexlog_path, const core::Map& entry)
{
  const std::string line = log_line_text(entry);
  const core::fs::Confined log = paths::confined(kolvexlog_path);
  core::fs::create_directories(log.parent());
  const auto lock = utils::filelock::locked(kolvexlog_path);
  core::fs::append_line(log, line);
}

bool _replace_log_entry(const stdfs::path& kolvexlog_path, const core::Map& entry)
{
  const core::Value* commit = entry.find("commit");
  if (commit == nullptr) {
    throw std::invalid_argument("a log entry to replace needs a \"commit\"");
  }
  const core::fs::Confined log = paths::confined(kolvexlog_path);
  if (!core::fs::regular_file_exists(log)) {
    return false;
  }
  const auto lock = utils::filelock::locked(kolvexlog_path);
  const std::string text = core::fs::read_text(log);
  const std::string replacement = core::json::dump(core::Value(entry));

  // Untouched lines keep their bytes; only their ends become a single "\n".
  std::string out;
  out.reserve(text.size() + replacement.size() + 1);
  bool replaced = false;
  for (const std::string_view line : core::fs::splitlines(text)) {
    if (!replaced && line_has_commit(line, *commit)) {
      out += replacement;
      replaced = true;
    } else {
      out += line;
    }
    out += '\n';
  }
  if (!replaced) {
    return false;
  }
  core::fs::atomic_replace(log, out);
  return true;
}

void _log_attestation(const stdfs::path& kolvexlog_path,
                      const stdfs::path& attestations_dir,
                      const core::Map& parsed,
                      const LogAttestationOptions& options)
{
  const std::optional<stdfs::path>& repo_root = options.repo_root;
  const std::string commit = options.commit_override && !options.commit_override->empty()
                                 ? *options.commit_override
                                 : _git_rev_parse({"HEAD"}, repo_root);
  // Asked even for an older commit: the line records what was checked out when
  // it was written.
  const std::string branch = _git_rev_parse({"--abbrev-ref", "HEAD"}, repo_root);
  require_file_name(commit, attestations_dir);

  // A log that is a link or a special file refuses the line; finding that out now
  // keeps the archive from being written for a line that never can be.
  (void)core::fs::regular_file_exists(paths::confined(kolvexlog_path));
  const core::fs::Confined archives = paths::confined(attestations_dir);
  core::fs::create_directories(archives);
  core::fs::atomic_replace(archives / (commit + ".yaml"), core::yaml::dump(core::Value(parsed)));

  if (repo_root && options.archive_ledger) {
    _archive_ledger_segment(*repo_root, attestations_dir, parsed, commit);
  }

  core::Map entry;
  entry.set("commit", commit);
  entry.set("branch", branch);
  entry.set("timestamp", value_or_empty_text(parsed, "timestamp"));
  entry.set("agent", value_or_empty_text(parsed, "agent"));
  entry.set("summary", value_or_empty_text(parsed, "summary"));
  entry.set("synced", false);
  if (options.event && !options.event->empty()) {
    entry.set("event", *options.event);
  }
  static constexpr std::array<std::string_view, 5> k_copied{
      "agent_provider", "agent_id", "agent_session_id", "developer", "telemetry"};
  for (const std::string_view key : k_copied) {
    const core::Value* value = parsed.find(key);
    if (value != nullptr && core::truthy(*value)) {
      entry.set(key, *value);
    }
  }

  if (options.replace_existing && _replace_log_entry(kolvexlog_path, entry)) {
    return;
  }
  _append_log_entry(kolvexlog_path, entry);
}

} // namespace kolvex::services::relaycore::log
