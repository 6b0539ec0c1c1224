#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "server/registry.h"

struct sqlite3;
struct sqlite3_stmt;

namespace fwp::server {

// Registrations in an SQLite database file (WAL mode), or only in memory for
// ":memory:". One connection serves every thread in turn; each operation is
// a single statement or two under the lock, which keeps them atomic.
// Expired rows are invisible at once and deleted about once a minute.
class TSqliteRegistry : public TRegistry {
public:
    // Opens or creates the database. Throws TRegistryError.
    explicit TSqliteRegistry(const std::string& path);
    ~TSqliteRegistry() override;
    TSqliteRegistry(const TSqliteRegistry&) = delete;
    TSqliteRegistry& operator=(const TSqliteRegistry&) = delete;

    TOpenResult Open(const std::string& name, const std::string& owner, const TEndpoint& endpoint,
                     std::chrono::seconds ttl, std::int64_t nowMs) override;
    std::optional<TEndpoint> Get(const std::string& name, std::int64_t nowMs) override;
    TCloseResult Close(const std::string& name, const std::string& owner, std::int64_t nowMs) override;
    void CheckHealth() override;

private:
    void Execute(const char* sql);
    sqlite3_stmt* Prepare(const char* sql);
    [[noreturn]] void Fail(const std::string& what) const;
    void PurgeExpired(std::int64_t nowMs);

    std::mutex m_mutex;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_open = nullptr;
    sqlite3_stmt* m_get = nullptr;
    sqlite3_stmt* m_close = nullptr;
    sqlite3_stmt* m_exists = nullptr;
    sqlite3_stmt* m_purge = nullptr;
    std::int64_t m_lastPurgeMs = 0;
};

}  // namespace fwp::server
