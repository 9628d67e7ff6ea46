#pragma once

// Owners of an SQLite connection and its prepared statements. Every failure throws StateError
// with SQLite's own text, so that a caller never goes on after a write that did not happen.

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kelvra::norvane::signal_server {

class StateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class SqliteDb {
public:
    // Opens (or creates) the file; busy waits up to five seconds for another process's lock.
    explicit SqliteDb(const std::filesystem::path& path);

    sqlite3* get() const { return db_.get(); }
    // Runs statements that take no parameters and return no rows.
    void exec(const char* sql);
    [[noreturn]] void fail(std::string_view what) const;

private:
    struct Close {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, Close> db_;
};

class Statement {
public:
    Statement(const SqliteDb& db, const char* sql);

    Statement& bind(int index, std::string_view text);
    Statement& bind(int index, int64_t number);
    // True while a row is there to read; false once the statement is done.
    bool step();
    // Steps a statement that returns no rows; the number of rows it changed.
    int run();
    std::string text(int column) const;
    int64_t number(int column) const;

private:
    struct Finalize {
        void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
    };
    const SqliteDb& db_;
    std::unique_ptr<sqlite3_stmt, Finalize> statement_;
};

// A write transaction: committed by commit(), rolled back when left without it.
class Transaction {
public:
    explicit Transaction(SqliteDb& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    SqliteDb& db_;
    bool done_ = false;
};

}  // namespace kelvra::norvane::signal_server
