#include "services/relaycore/sync/upload.hpp"

#include "agents/registry.hpp"
#include "agents/transcript_io.hpp"
#include "contracts/api_client.hpp"
#include "core/fs.hpp"
#include "core/json.hpp"
#include "core/logging.hpp"
#include "core/text.hpp"
#include "core/yaml.hpp"
#include "paths.hpp"
#include "repository_handle.hpp"
#include "services/local_config.hpp"
#include "services/relaycore/log/attestation_log.hpp"
#include "services/relaycore/sync/synced_marker.hpp"
#include "services/relaycore/sync/synced_patcher.hpp"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <system_error>
#include <utility>

#include <unistd.h>

namespace kolvex::services::relaycore::sync {

namespace {

namespace stdfs = std::filesystem;

const core::logging::Logger& logger()
{
  static const core::logging::Logger instance("kolvex.relaycore.sync");
  return instance;
}

// The text commits of `batch`, the keys the marking looks for.
std::set<std::string> commits_of(const core::List& batch)
{
  std::set<std::string> commits;
  for (const core::Value& entry : batch) {
    if (const core::Value* commit = entry.get("commit");
        commit != nullptr && commit->is_string() && !commit->as_string().empty()) {
      commits.insert(commit->as_string());
    }
  }
  return commits;
}

// Whether `path` (under .kolvex/) is a regular file reached through real
// directories; a link or special file there was refused (and reported) and counts
// as missing.
bool regular_file(const core::fs::Confined& path)
{
  try {
    return core::fs::regular_file_exists(path);
  } catch (const std::system_error&) {
    return false;
  }
}

// The first YAML document of the archive's text (an empty map when it has none),
// passed through JSON so that dates and other values without a JSON form become
// text.  Throws what decoding and parsing throw.
core::Value archived_attestation(const std::string& bytes, const stdfs::path& file)
{
  core::fs::require_utf8(bytes, file);
  const std::vector<core::Value> documents = core::yaml::load_all(bytes);
  const core::Value first = documents.empty() ? core::Value(core::Map{}) : documents.front();
  return core::json::parse(core::json::dump(first));
}

// The JSON values of the non-blank lines of the archived ledger `name`, or nullopt
// when it is missing, cannot be read or a line is not JSON: the record then goes
// without it.
std::optional<core::List> archived_ledger(const paths::DirectoryHandle& archives,
                                          const std::string& name)
{
  const stdfs::path file = archives.path() / name;
  try {
    const std::optional<std::string> text = archives.read_file(name);
    if (!text) {
      return std::nullopt;
    }
    core::fs::require_utf8(*text, file);
    core::List lines;
    for (const std::string_view line : core::fs::splitlines(*text)) {
      const std::string_view stripped = core::text::python_strip(line);
      if (!stripped.empty()) {
        lines.push_back(core::json::parse(stripped));
      }
    }
    return lines;
  } catch (const std::exception& e) {
    logger().debug_exception("Ledger segment " + file.string() + " unreadable; sent without it", e);
    return std::nullopt;
  }
}

// What makes an archive unusable: it cannot be read, is not YAML, or (where the
// plain rule would stop every upload for good) is not UTF-8 or nests too deep for
// JSON.
bool unreadable_archive(const std::exception& e)
{
  return dynamic_cast<const std::system_error*>(&e) != nullptr ||
         dynamic_cast<const core::yaml::YamlError*>(&e) != nullptr ||
         dynamic_cast<const core::fs::DecodeError*>(&e) != nullptr ||
         dynamic_cast<const core::json::JsonError*>(&e) != nullptr;
}

// The session the records were made in: the active harness's, else
// AGENT_SESSION_ID.  A value that could not travel as a header (control
// characters) counts as unknown rather than failing every batch.
std::optional<std::string> session_id(const stdfs::path& repo_root)
{
  std::optional<std::string> session;
  try {
    if (const contracts::AgentAdapter* adapter = agents::detect_active_agent()) {
      session = adapter->get_session_id(repo_root);
    }
  } catch (const std::exception& e) {
    logger().debug_exception("Agent detection for session header failed", e);
    session.reset();
  }
  if (!session || session->empty()) {
    session = agents::ambient_session_id("AGENT_SESSION_ID");
  }
  if (session && std::any_of(session->begin(), session->end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
      })) {
    logger().debug("Session id with control characters left out of the upload");
    session.reset();
  }
  return session;
}

std::string project_text(const core::Value& project_id)
{
  if (project_id.is_string()) {
    return project_id.as_string();
  }
  if (project_id.kind() == core::Value::Kind::integer) {
    return std::to_string(project_id.as_int());
  }
  if (project_id.kind() == core::Value::Kind::big_integer) {
    return project_id.as_bigint().digits;
  }
  return core::json::dump(project_id);
}

// "Uploading attestations: 300 of 20000" rewritten in place on stderr, only when it
// is a terminal and there is more than one batch; the line is ended when the run
// ends, however it ends.
class Progress {
public:
  // NOLINTNEXTLINE(bugprone-easily-swappable-parameters): one caller, in this file
  Progress(std::size_t total, std::size_t batches)
      : m_total(total), m_shown(batches > 1 && ::isatty(STDERR_FILENO) == 1)
  {
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress()
  {
    if (m_shown) {
      write("\n");
    }
  }
  void sent(std::size_t count)
  {
    if (m_shown) {
      write("\rUploading attestations: " + std::to_string(count) + " of " +
            std::to_string(m_total));
    }
  }

private:
  static void write(const std::string& text)
  {
    (void)!::write(STDERR_FILENO, text.data(), text.size());
  }

  std::size_t m_total;
  bool m_shown;
};

} // namespace

bool _complete_upload_record(core::Map& entry, const stdfs::path& attestations_dir)
{
  paths::DirectoryHandle archives;
  try {
    archives = paths::DirectoryHandle::open(attestations_dir);
  } catch (const std::system_error& e) {
    logger().warning("Corrupt attestation file " + attestations_dir.string() + ": " + e.what());
    return false;
  }
  return _complete_upload_record(entry, archives);
}

bool _complete_upload_record(core::Map& entry, const paths::DirectoryHandle& archives)
{
  const core::Value* commit_value = entry.find("commit");
  const std::string commit =
      commit_value != nullptr && commit_value->is_string() ? commit_value->as_string() : "";
  const std::string archive = commit + ".yaml";
  if (!entry.contains("attestation") && !entry.contains("raw_attestation")) {
    try {
      // A link in the archive's place is refused here, and skipped as corrupt.
      if (const std::optional<std::string> bytes = archives.read_file(archive)) {
        entry.set("attestation", archived_attestation(*bytes, archives.path() / archive));
      }
    } catch (const std::exception& e) {
      if (!unreadable_archive(e)) {
        throw;
      }
      logger().warning("Corrupt attestation file " + (archives.path() / archive).string() + ": " +
                       e.what());
      return false;
    }
  }
  if (!entry.contains("ledger")) {
    if (auto lines = archived_ledger(archives, commit + ".ledger.jsonl")) {
      entry.set("ledger", std::move(*lines));
    }
  }
  return true;
}

std::optional<core::List> BatchBuilder::add(core::Value entry)
{
  std::size_t size = 0;
  try {
    size = core::json::dump(entry).size();
  } catch (const core::json::JsonError&) {
    size = 0; // still sent; the server will say what it thinks of it
  }
  std::optional<core::List> closed;
  if (!m_current.empty() &&
      (m_current.size() >= m_limits.max_count || m_bytes + size > m_limits.max_bytes)) {
    closed = std::exchange(m_current, core::List{});
    m_bytes = 0;
  }
  m_current.push_back(std::move(entry));
  m_bytes += size;
  return closed;
}

std::optional<core::List> BatchBuilder::finish()
{
  if (m_current.empty()) {
    return std::nullopt;
  }
  m_bytes = 0;
  return std::exchange(m_current, core::List{});
}

std::vector<core::List> _chunk_attestations(core::List entries, const ChunkLimits& limits)
{
  std::vector<core::List> batches;
  BatchBuilder builder(limits);
  for (core::Value& entry : entries) {
    if (auto closed = builder.add(std::move(entry))) {
      batches.push_back(std::move(*closed));
    }
  }
  if (auto last = builder.finish()) {
    batches.push_back(std::move(*last));
  }
  return batches;
}

void _mark_synced(const stdfs::path& kolvexlog_path, const core::List& batch)
{
  (void)SyncedMarker(kolvexlog_path).mark(commits_of(batch));
}

// Both callers pass paths::attestations_dir(repo_root) beside repo_root.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
UploadResult upload_attestations(const std::string& api_key,
                                 const std::string& api_url,
                                 const stdfs::path& repo_root,
                                 const stdfs::path& attestations_dir,
                                 const core::Value& project_id)
{
  std::optional<paths::RepositoryHandle> repo;
  try {
    repo.emplace(repo_root);
  } catch (const std::system_error& e) {
    // What a walk by name would have found there too: no configuration and no log
    // reached through real directories, so nothing to send.
    logger().debug_exception("Records not opened; nothing uploaded", e);
    UploadResult result;
    result.already_synced = true;
    return result;
  }
  return upload_attestations(api_key, api_url, *repo, attestations_dir, project_id);
}

UploadResult upload_attestations(const std::string& api_key,
                                 const std::string& api_url,
                                 const paths::RepositoryHandle& repo,
                                 const stdfs::path& attestations_dir,
                                 const core::Value& project_id)
{
  const stdfs::path& repo_root = repo.root();
  UploadResult result;
  if (!shared::local_config_exists(repo) && !regular_file(repo.at(paths::kolvex_dir(repo_root)))) {
    result.already_synced = true; // never set up: nothing to send
    return result;
  }
  core::Map config;
  try {
    config = shared::load_local_config(repo);
  } catch (const shared::ConfigError& e) {
    logger().debug_exception("Local configuration unreadable; nothing uploaded", e);
  }
  if (config.empty()) {
    result.already_synced = true;
    return result;
  }
  if (!core::truthy(project_id)) {
    result.ok = false;
    result.error = "no project id to address the upload to";
    return result;
  }
  const stdfs::path log_path = paths::log_jsonl(repo_root);
  const core::fs::Confined log_at = repo.at(log_path);
  if (!regular_file(log_at)) {
    result.already_synced = true;
    return result;
  }
  if (api_key.empty()) {
    result.ok = false;
    result.error = "No API key configured";
    return result;
  }

  // Opened once: each archive is then one open beside the others.
  paths::DirectoryHandle archives;
  bool archives_safe = true;
  try {
    archives = repo.open_directory(attestations_dir);
  } catch (const std::system_error& e) {
    logger().warning("Corrupt attestation file " + attestations_dir.string() + ": " + e.what());
    archives_safe = false;
  }

  // The log is read once, a block at a time, and each batch is sent and marked as
  // soon as it is full: a sync holds one batch, whatever the size of the log.
  std::optional<contracts::Headers> headers;
  const std::string project = project_text(project_id);
  const contracts::ApiTarget target{.url = api_url, .key = api_key};
  std::optional<Progress> progress;
  SyncedPatcher marker(log_at);
  std::size_t sent = 0;
  bool stopped = false;
  const auto send = [&](const core::List& batch) {
    if (!headers) {
      headers.emplace();
      if (const auto session = session_id(repo_root)) {
        headers->emplace("X-Agent-Session-Id", *session);
      }
    }
    if (!progress) {
      // The total is counted only for a terminal to show it on.
      const bool shown = ::isatty(STDERR_FILENO) == 1;
      const std::size_t total =
          shown ? static_cast<std::size_t>(log::count_attestation_log(log_at).pending) : 0;
      progress.emplace(total, shown && total > batch.size() ? 2 : 1);
    }
    core::Value answer;
    try {
      answer = contracts::api_client().upload_attestations(target, project, batch, *headers);
    } catch (const contracts::ApiError& e) {
      result.ok = false;
      result.error = e.what();
      if (const auto* refusal = dynamic_cast<const contracts::AgentApiError*>(&e)) {
        result.code = refusal->code();
      }
      stopped = true;
      return;
    }
    // The server's count when it is one (0 to the batch's size), else the batch's.
    const core::Value* inserted = answer.get("inserted");
    const auto size = static_cast<std::int64_t>(batch.size());
    result.uploaded += inserted != nullptr && inserted->kind() == core::Value::Kind::integer &&
                               inserted->as_int() >= 0 && inserted->as_int() <= size
                           ? inserted->as_int()
                           : size;
    (void)marker.mark(commits_of(batch));
    sent += batch.size();
    progress->sent(sent);
  };

  BatchBuilder builder;
  std::int64_t corrupt_archives = 0;
  const log::AttestationLogCounts counts =
      log::for_each_pending_record(log_at, [&](core::Map entry) {
        if (stopped) {
          return;
        }
        if (!archives_safe || !_complete_upload_record(entry, archives)) {
          ++corrupt_archives;
          return;
        }
        if (auto closed = builder.add(core::Value(std::move(entry)))) {
          send(*closed);
        }
      });
  if (!stopped) {
    if (auto last = builder.finish()) {
      send(*last);
    }
  }
  result.skipped_invalid = counts.unaddressable + corrupt_archives;
  if (!progress) {
    result.already_synced = true; // nothing was left to send
  }
  return result;
}

} // namespace kolvex::services::relaycore::sync
