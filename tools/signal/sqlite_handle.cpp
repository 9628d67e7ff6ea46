#include "signal/sqlite_handle.hpp"

#include <fmt/format.h>

namespace kelvra::norvane::signal_server {

SqliteDb::SqliteDb(const std::filesystem::path& path) {
    sqlite3* raw = nullptr;
    const int status =
        sqlite3_open_v2(path.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    db_.reset(raw);  // owned even when opening failed
    if (status != SQLITE_OK) {
        throw StateError(fmt::format("cannot open '{}': {}", path.string(),
                                     raw != nullptr ? sqlite3_errmsg(raw) : "out of memory"));
    }
    sqlite3_busy_timeout(raw, 5000);
    sqlite3_extended_result_codes(raw, 1);
}

void SqliteDb::exec(const char* sql) {
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql);
}

void SqliteDb::fail(std::string_view what) const {
    throw StateError(fmt::format("database: {}: {}", what, sqlite3_errmsg(db_.get())));
}

Statement::Statement(const SqliteDb& db, const char* sql) : db_(db) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql, -1, &raw, nullptr) != SQLITE_OK) db.fail(sql);
    statement_.reset(raw);
}

Statement& Statement::bind(int index, std::string_view text) {
    if (sqlite3_bind_text(statement_.get(), index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK) {
        db_.fail("bind");
    }
    return *this;
}

Statement& Statement::bind(int index, int64_t number) {
    if (sqlite3_bind_int64(statement_.get(), index, number) != SQLITE_OK) db_.fail("bind");
    return *this;
}

bool Statement::step() {
    const int status = sqlite3_step(statement_.get());
    if (status == SQLITE_ROW) return true;
    if (status == SQLITE_DONE) return false;
    db_.fail(sqlite3_sql(statement_.get()));
}

int Statement::run() {
    while (step()) {
    }
    return sqlite3_changes(db_.get());
}

std::string Statement::text(int column) const {
    const auto* bytes = sqlite3_column_text(statement_.get(), column);
    const int size = sqlite3_column_bytes(statement_.get(), column);
    return bytes == nullptr ? std::string()
                            : std::string(reinterpret_cast<const char*>(bytes), size);
}

int64_t Statement::number(int column) const {
    return sqlite3_column_int64(statement_.get(), column);
}

Transaction::Transaction(SqliteDb& db) : db_(db) {
    // IMMEDIATE takes the write lock at once, so that the CLI and the server never deadlock.
    db_.exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!done_) sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit() {
    db_.exec("COMMIT");
    done_ = true;
}

}  // namespace kelvra::norvane::signal_server
