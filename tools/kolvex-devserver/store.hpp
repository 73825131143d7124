#pragma once

// What the local API server keeps: projects keyed by normalised origin remote and
// attestations, one row per (project, commit), in one SQLite file in WAL mode.

#include "core/value.hpp"

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;

namespace kolvex::devserver {

// A failure of SQLite; what() carries its message.
class StoreError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

struct Project {
  std::int64_t id = 0;
  std::string remote; // the normalised remote, the project's key
  std::string title;
  std::optional<std::int64_t> team_id;
};

// One uploaded record: its commit and its JSON text as received.
struct StoredRecord {
  std::string commit;
  std::string json;
};

// Counts of one upload, as the endpoint answers them.
struct UploadCounts {
  std::int64_t inserted = 0;
  std::int64_t updated = 0;
};

// One connection, used by one request at a time: requests from the server's
// threads queue on a mutex, so concurrent uploads all land in order of arrival.
class Store {
public:
  // Opens (creating) the database at `db`; throws StoreError.
  explicit Store(const std::filesystem::path& db);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The project keyed `remote`, created (with `title` and `team_id`) when new;
  // `created` says which.
  [[nodiscard]] Project resolve(const std::string& remote,
                                const std::string& title,
                                std::optional<std::int64_t> team_id,
                                bool& created);
  // The project with id `id`, or nullopt.
  [[nodiscard]] std::optional<Project> project(std::int64_t id);
  // Stores `records` for `project` in one transaction, the last upload of a commit
  // winning, with `session` and the time received.
  [[nodiscard]] UploadCounts upload(std::int64_t project,
                                    const std::vector<StoredRecord>& records,
                                    const std::optional<std::string>& session);
  // Every stored attestation of `project` in the order last received, each as
  // {"commit", "session_id", "received_at", "record"}.
  [[nodiscard]] core::List attestations(std::int64_t project);

private:
  void exec(const char* sql);

  std::mutex m_mutex;
  sqlite3* m_db = nullptr;
  std::int64_t m_seq = 0; // the order of arrival of the last row written
};

} // namespace kolvex::devserver
