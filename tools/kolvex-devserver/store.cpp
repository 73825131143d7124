#include "store.hpp"

#include "core/clock.hpp"
#include "core/json.hpp"

#include <sqlite3.h>

#include <utility>

namespace kolvex::devserver {

namespace {

// A prepared statement, finalised on every path out.
class Statement {
public:
  Statement(sqlite3* db, const char* sql) : m_db(db)
  {
    if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) {
      throw StoreError(sqlite3_errmsg(db));
    }
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement() { sqlite3_finalize(m_stmt); }

  void bind(int index, std::int64_t value) { check(sqlite3_bind_int64(m_stmt, index, value)); }
  void bind(int index, const std::string& text)
  {
    check(sqlite3_bind_text(
        m_stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
  }
  void bind_null(int index) { check(sqlite3_bind_null(m_stmt, index)); }
  // Makes the statement ready to run again with new bindings.
  void reset()
  {
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
  }
  // True while a row is available.
  bool step()
  {
    const int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
      return true;
    }
    if (rc != SQLITE_DONE) {
      throw StoreError(sqlite3_errmsg(m_db));
    }
    return false;
  }
  std::int64_t integer(int column) { return sqlite3_column_int64(m_stmt, column); }
  bool is_null(int column) { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
  std::string text(int column)
  {
    const auto* bytes = sqlite3_column_text(m_stmt, column);
    return bytes == nullptr
               ? std::string()
               : std::string(reinterpret_cast<const char*>(bytes),
                             static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, column)));
  }

private:
  void check(int rc)
  {
    if (rc != SQLITE_OK) {
      throw StoreError(sqlite3_errmsg(m_db));
    }
  }

  sqlite3* m_db;
  sqlite3_stmt* m_stmt = nullptr;
};

Project project_from(Statement& row)
{
  Project project;
  project.id = row.integer(0);
  project.remote = row.text(1);
  project.title = row.text(2);
  if (!row.is_null(3)) {
    project.team_id = row.integer(3);
  }
  return project;
}

} // namespace

Store::Store(const std::filesystem::path& db)
{
  if (sqlite3_open_v2(db.c_str(),
                      &m_db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    const std::string why = m_db != nullptr ? sqlite3_errmsg(m_db) : "out of memory";
    sqlite3_close(m_db);
    throw StoreError("cannot open " + db.string() + ": " + why);
  }
  sqlite3_busy_timeout(m_db, 5000);
  exec("PRAGMA journal_mode=WAL");
  // A server for tests and demos: losing the last writes to a power cut is fine,
  // competing with the client's own fsyncs for the disk is not.
  exec("PRAGMA synchronous=OFF");
  exec("CREATE TABLE IF NOT EXISTS projects ("
       " id INTEGER PRIMARY KEY AUTOINCREMENT,"
       " remote TEXT NOT NULL UNIQUE,"
       " title TEXT NOT NULL,"
       " team_id INTEGER)");
  exec("CREATE TABLE IF NOT EXISTS attestations ("
       " project_id INTEGER NOT NULL REFERENCES projects(id),"
       " commit_sha TEXT NOT NULL,"
       " record TEXT NOT NULL,"
       " session_id TEXT,"
       " received_at TEXT NOT NULL,"
       " seq INTEGER NOT NULL,"
       " PRIMARY KEY (project_id, commit_sha))");
  Statement last(m_db, "SELECT COALESCE(MAX(seq), 0) FROM attestations");
  if (last.step()) {
    m_seq = last.integer(0);
  }
}

Store::~Store()
{
  sqlite3_close(m_db);
}

void Store::exec(const char* sql)
{
  char* error = nullptr;
  if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string why = error != nullptr ? error : "unknown error";
    sqlite3_free(error);
    throw StoreError(why);
  }
}

Project Store::resolve(const std::string& remote,
                       const std::string& title,
                       std::optional<std::int64_t> team_id,
                       bool& created)
{
  const std::lock_guard guard(m_mutex);
  {
    Statement find(m_db, "SELECT id, remote, title, team_id FROM projects WHERE remote = ?");
    find.bind(1, remote);
    if (find.step()) {
      created = false;
      return project_from(find);
    }
  }
  Statement insert(m_db, "INSERT INTO projects (remote, title, team_id) VALUES (?, ?, ?)");
  insert.bind(1, remote);
  insert.bind(2, title);
  if (team_id) {
    insert.bind(3, *team_id);
  } else {
    insert.bind_null(3);
  }
  (void)insert.step();
  created = true;
  return Project{sqlite3_last_insert_rowid(m_db), remote, title, team_id};
}

std::optional<Project> Store::project(std::int64_t id)
{
  const std::lock_guard guard(m_mutex);
  Statement find(m_db, "SELECT id, remote, title, team_id FROM projects WHERE id = ?");
  find.bind(1, id);
  if (!find.step()) {
    return std::nullopt;
  }
  return project_from(find);
}

UploadCounts Store::upload(std::int64_t project,
                           const std::vector<StoredRecord>& records,
                           const std::optional<std::string>& session)
{
  const std::lock_guard guard(m_mutex);
  const std::string now = core::clock::utc_now_iso();
  UploadCounts counts;
  exec("BEGIN IMMEDIATE");
  try {
    // Prepared once per upload: a batch is a hundred records.
    Statement exists(m_db, "SELECT 1 FROM attestations WHERE project_id = ? AND commit_sha = ?");
    Statement upsert(m_db,
                     "INSERT INTO attestations (project_id, commit_sha, record, session_id, "
                     "received_at, seq) VALUES (?, ?, ?, ?, ?, ?) "
                     "ON CONFLICT (project_id, commit_sha) DO UPDATE SET record = excluded.record, "
                     "session_id = excluded.session_id, received_at = excluded.received_at, "
                     "seq = excluded.seq");
    for (const StoredRecord& record : records) {
      exists.reset();
      exists.bind(1, project);
      exists.bind(2, record.commit);
      const bool known = exists.step();
      upsert.reset();
      upsert.bind(1, project);
      upsert.bind(2, record.commit);
      upsert.bind(3, record.json);
      if (session) {
        upsert.bind(4, *session);
      } else {
        upsert.bind_null(4);
      }
      upsert.bind(5, now);
      upsert.bind(6, ++m_seq);
      (void)upsert.step();
      ++(known ? counts.updated : counts.inserted);
    }
    exec("COMMIT");
  } catch (...) {
    exec("ROLLBACK");
    throw;
  }
  return counts;
}

core::List Store::attestations(std::int64_t project)
{
  const std::lock_guard guard(m_mutex);
  Statement rows(m_db,
                 "SELECT commit_sha, session_id, received_at, record FROM attestations "
                 "WHERE project_id = ? ORDER BY seq");
  rows.bind(1, project);
  core::List out;
  while (rows.step()) {
    core::Map row;
    row.set("commit", rows.text(0));
    row.set("session_id", rows.is_null(1) ? core::Value() : core::Value(rows.text(1)));
    row.set("received_at", rows.text(2));
    row.set("record", core::json::parse(rows.text(3)));
    out.emplace_back(std::move(row));
  }
  return out;
}

} // namespace kolvex::devserver
