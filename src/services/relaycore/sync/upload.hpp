#pragma once

// Sending the unsent records of the attestation log to the cloud service, in
// batches the server accepts, and marking each batch synced as soon as the server
// has taken it.  Silently dropping a record is the one outcome this path exists to
// prevent: a record larger than the byte budget goes out alone, a failed batch
// stays pending for the next sync, and marking per batch means a later failure
// never resends what was already accepted.

#include "core/value.hpp"
#include "repository_handle.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kolvex::services::relaycore::sync {

// Records per batch at most.
inline constexpr std::size_t ATTESTATION_BATCH_SIZE = 100;
// Serialised bytes per batch at most, unless one record alone is larger.
inline constexpr std::size_t ATTESTATION_BATCH_BYTES = 6291456;

// What an upload did.  `ok` is false when the upload could not be addressed or a
// batch failed, `error` then says why; `uploaded` sums the server's "inserted"
// over the accepted batches; `skipped_invalid` counts pending records not sent
// (unaddressable, or a corrupt archived attestation); `already_synced` is true when
// there was nothing to send or nothing set up to send from.
struct UploadResult {
  bool ok = true;
  std::int64_t uploaded = 0;
  std::int64_t skipped_invalid = 0;
  bool already_synced = false;
  std::optional<std::string> error{};
  // The server's refusal code when it refused the upload ("key_rejected").
  std::optional<std::string> code{};
};

// The budgets of `_chunk_attestations`, by name: `{.max_bytes = 1000}`.
struct ChunkLimits {
  std::size_t max_count = ATTESTATION_BATCH_SIZE;
  std::size_t max_bytes = ATTESTATION_BATCH_BYTES;
};

// Builds the batches of `_chunk_attestations` one entry at a time, so that an
// upload holds one batch, never the whole log.
class BatchBuilder {
public:
  explicit BatchBuilder(ChunkLimits limits = {}) : m_limits(limits) {}
  // Adds `entry`; returns the batch it closed, when it did not fit beside it.
  [[nodiscard]] std::optional<core::List> add(core::Value entry);
  // The last batch, unless it is empty.
  [[nodiscard]] std::optional<core::List> finish();

private:
  ChunkLimits m_limits;
  core::List m_current;
  std::size_t m_bytes = 0;
};

// Splits `entries` (maps) into batches, in order, each closed when it holds
// `max_count` entries or the next entry's JSON would take it past `max_bytes`.  An
// entry larger than `max_bytes` goes alone; one that cannot be serialised counts 0
// bytes.  No batch is empty; no entries give no batches.
[[nodiscard]] std::vector<core::List> _chunk_attestations(core::List entries,
                                                          const ChunkLimits& limits = {});

// Sends the pending records of `repo`'s log to project `project_id` (an integer
// or a text) at `api_url` with `api_key`, each completed with its archived
// attestation from `attestations_dir` and its ledger, and marks each accepted batch
// synced, in place (see SyncedPatcher).  Catches the API client's ApiError (the run
// stops, `ok` false); an error while marking the log propagates, leaving those
// records pending to resend.  Shows progress on stderr when it is a terminal and
// there is more than one batch.
[[nodiscard]] UploadResult upload_attestations(const std::string& api_key,
                                               const std::string& api_url,
                                               const paths::RepositoryHandle& repo,
                                               const std::filesystem::path& attestations_dir,
                                               const core::Value& project_id);

// The same for a repository not yet opened: opens it first.  Records that cannot be
// opened (a link or a file where .kolvex or .platform belongs) hold nothing to send.
[[nodiscard]] UploadResult upload_attestations(const std::string& api_key,
                                               const std::string& api_url,
                                               const std::filesystem::path& repo_root,
                                               const std::filesystem::path& attestations_dir,
                                               const core::Value& project_id);

// Completes log entry `entry` into the upload record: its archived attestation from
// `attestations_dir` as "attestation" (made JSON-safe) and its archived ledger as
// "ledger", each unless the entry has it already.  Returns false, with a warning,
// when the archive is corrupt and the record must not be sent.
bool _complete_upload_record(core::Map& entry, const std::filesystem::path& attestations_dir);

// The same with the archive directory already open: each file is one open in it.
bool _complete_upload_record(core::Map& entry, const paths::DirectoryHandle& archives);

// Marks the records of `batch` (maps) synced in the log at `kolvexlog_path`, under
// the log lock, by an atomic rewrite (see SyncedMarker::mark).  Only text "commit"
// members count; a batch without one leaves the log and the lock alone.
void _mark_synced(const std::filesystem::path& kolvexlog_path, const core::List& batch);

} // namespace kolvex::services::relaycore::sync
