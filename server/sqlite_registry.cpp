#include "server/sqlite_registry.h"

#include <sqlite3.h>

namespace fwp::server {
namespace {

// Expired rows are already ignored by every query; deleting them only keeps
// the file small, so once a minute is plenty.
constexpr std::int64_t PurgeIntervalMs = 60'000;

constexpr const char* Schema =
    "CREATE TABLE IF NOT EXISTS registrations ("
    " name BLOB PRIMARY KEY,"  // CP932 bytes; BLOB compares byte by byte
    " owner TEXT NOT NULL,"
    " ip TEXT NOT NULL,"
    " port INTEGER NOT NULL,"
    " expires INTEGER NOT NULL"  // milliseconds since 1970
    ") WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS registrations_expires ON registrations(expires);"
    // One row that the health check rewrites.
    "CREATE TABLE IF NOT EXISTS health (id INTEGER PRIMARY KEY CHECK (id = 1), checked REAL NOT NULL);";

// Inserts, or takes over the row when it is the same owner's or has expired.
// When another owner's live row holds the name the WHERE fails, nothing
// changes, and sqlite3_changes() reports 0.
constexpr const char* OpenSql =
    "INSERT INTO registrations(name, owner, ip, port, expires) VALUES(?1, ?2, ?3, ?4, ?5)"
    " ON CONFLICT(name) DO UPDATE SET owner = excluded.owner, ip = excluded.ip, port = excluded.port,"
    " expires = excluded.expires WHERE registrations.owner = excluded.owner OR registrations.expires <= ?6";
constexpr const char* GetSql = "SELECT ip, port FROM registrations WHERE name = ?1 AND expires > ?2";
constexpr const char* CloseSql = "DELETE FROM registrations WHERE name = ?1 AND owner = ?2 AND expires > ?3";
constexpr const char* ExistsSql = "SELECT 1 FROM registrations WHERE name = ?1 AND expires > ?2";
constexpr const char* PurgeSql = "DELETE FROM registrations WHERE expires <= ?1";

// Resets a statement when the operation ends, however it ends, so the next
// use starts clean and no read transaction stays open.
class TReset {
public:
    explicit TReset(sqlite3_stmt* statement) : m_statement(statement) {}
    ~TReset() {
        sqlite3_reset(m_statement);
        sqlite3_clear_bindings(m_statement);
    }
    TReset(const TReset&) = delete;
    TReset& operator=(const TReset&) = delete;

private:
    sqlite3_stmt* m_statement;
};

int BindBytes(sqlite3_stmt* statement, int index, const std::string& bytes) {
    // A zero-length blob must not be bound from a null pointer, which would be NULL.
    return sqlite3_bind_blob(statement, index, bytes.empty() ? "" : bytes.data(),
                             static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

int BindText(sqlite3_stmt* statement, int index, const std::string& text) {
    return sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

}  // namespace

TSqliteRegistry::TSqliteRegistry(const std::string& path) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        const std::string reason = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw TRegistryError("cannot open database " + path + ": " + reason);
    }
    try {
        // Another process (a backup, the sqlite3 shell) may hold the file briefly.
        sqlite3_busy_timeout(m_db, 5000);
        // WAL lets readers go on during a write; NORMAL syncs at checkpoints
        // only. Registrations are renewed by their clients, so losing the last
        // moments before a power cut costs nothing lasting.
        Execute("PRAGMA journal_mode = WAL");
        Execute("PRAGMA synchronous = NORMAL");
        Execute(Schema);
        m_open = Prepare(OpenSql);
        m_get = Prepare(GetSql);
        m_close = Prepare(CloseSql);
        m_exists = Prepare(ExistsSql);
        m_purge = Prepare(PurgeSql);
    } catch (...) {
        for (sqlite3_stmt* statement : {m_open, m_get, m_close, m_exists, m_purge})
            sqlite3_finalize(statement);
        sqlite3_close(m_db);
        throw;
    }
}

TSqliteRegistry::~TSqliteRegistry() {
    for (sqlite3_stmt* statement : {m_open, m_get, m_close, m_exists, m_purge})
        sqlite3_finalize(statement);
    sqlite3_close(m_db);
}

void TSqliteRegistry::Fail(const std::string& what) const {
    throw TRegistryError(what + ": " + sqlite3_errmsg(m_db));
}

void TSqliteRegistry::Execute(const char* sql) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        Fail("database set-up failed");
}

sqlite3_stmt* TSqliteRegistry::Prepare(const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) != SQLITE_OK)
        Fail("database set-up failed");
    return statement;
}

void TSqliteRegistry::PurgeExpired(std::int64_t nowMs) {
    if (nowMs - m_lastPurgeMs < PurgeIntervalMs && nowMs >= m_lastPurgeMs)
        return;
    m_lastPurgeMs = nowMs;
    const TReset reset(m_purge);
    sqlite3_bind_int64(m_purge, 1, nowMs);
    if (sqlite3_step(m_purge) != SQLITE_DONE)
        Fail("deleting expired registrations failed");
}

TOpenResult TSqliteRegistry::Open(const std::string& name, const std::string& owner,
                                  const TEndpoint& endpoint, std::chrono::seconds ttl, std::int64_t nowMs) {
    const std::lock_guard lock(m_mutex);
    PurgeExpired(nowMs);
    const TReset reset(m_open);
    const std::int64_t expires = nowMs + std::chrono::duration_cast<std::chrono::milliseconds>(ttl).count();
    if (BindBytes(m_open, 1, name) != SQLITE_OK || BindText(m_open, 2, owner) != SQLITE_OK ||
        BindText(m_open, 3, endpoint.Ip) != SQLITE_OK ||
        sqlite3_bind_int(m_open, 4, endpoint.Port) != SQLITE_OK ||
        sqlite3_bind_int64(m_open, 5, expires) != SQLITE_OK ||
        sqlite3_bind_int64(m_open, 6, nowMs) != SQLITE_OK)
        Fail("registering failed");
    if (sqlite3_step(m_open) != SQLITE_DONE)
        Fail("registering failed");
    return sqlite3_changes(m_db) > 0 ? TOpenResult::orRegistered : TOpenResult::orTaken;
}

std::optional<TEndpoint> TSqliteRegistry::Get(const std::string& name, std::int64_t nowMs) {
    const std::lock_guard lock(m_mutex);
    const TReset reset(m_get);
    if (BindBytes(m_get, 1, name) != SQLITE_OK || sqlite3_bind_int64(m_get, 2, nowMs) != SQLITE_OK)
        Fail("looking up failed");
    const int step = sqlite3_step(m_get);
    if (step == SQLITE_DONE)
        return std::nullopt;
    if (step != SQLITE_ROW)
        Fail("looking up failed");
    const auto* ip = reinterpret_cast<const char*>(sqlite3_column_text(m_get, 0));
    return TEndpoint{ip ? std::string(ip) : std::string(), sqlite3_column_int(m_get, 1)};
}

TCloseResult TSqliteRegistry::Close(const std::string& name, const std::string& owner, std::int64_t nowMs) {
    const std::lock_guard lock(m_mutex);
    {
        const TReset reset(m_close);
        if (BindBytes(m_close, 1, name) != SQLITE_OK || BindText(m_close, 2, owner) != SQLITE_OK ||
            sqlite3_bind_int64(m_close, 3, nowMs) != SQLITE_OK || sqlite3_step(m_close) != SQLITE_DONE)
            Fail("removing failed");
        if (sqlite3_changes(m_db) > 0)
            return TCloseResult::crRemoved;
    }
    const TReset reset(m_exists);
    if (BindBytes(m_exists, 1, name) != SQLITE_OK || sqlite3_bind_int64(m_exists, 2, nowMs) != SQLITE_OK)
        Fail("removing failed");
    const int step = sqlite3_step(m_exists);
    if (step == SQLITE_ROW)
        return TCloseResult::crOtherOwner;
    if (step != SQLITE_DONE)
        Fail("removing failed");
    return TCloseResult::crUnknown;
}

void TSqliteRegistry::CheckHealth() {
    // A write, not a read: on a full disk reading still works while every
    // registration fails.
    const std::lock_guard lock(m_mutex);
    if (sqlite3_exec(m_db, "INSERT OR REPLACE INTO health(id, checked) VALUES(1, julianday('now'))", nullptr,
                     nullptr, nullptr) != SQLITE_OK)
        Fail("health check write failed");
}

}  // namespace fwp::server
