#pragma once

// The server's lasting state in one SQLite file: the streams, and (through UserStore) the
// accounts, their grants, API tokens and log-in sessions. Every change is one transaction in
// a write-ahead log synced before it is acknowledged, so that it survives a crash.

#include <filesystem>
#include <optional>
#include <vector>

#include "signal/server_config.hpp"
#include "signal/sqlite_handle.hpp"

namespace kelvra::norvane::signal_server {

class StateDb {
public:
    static constexpr const char* kFileName = "norvane-signal.db";

    // Opens `dir`/norvane-signal.db, creating the directory (for the owner only) and the
    // tables when missing.
    explicit StateDb(const std::filesystem::path& dir);

    SqliteDb& db() { return db_; }

    // On the first start only, the configuration's streams become the stored ones; from then
    // on the stored list is authoritative and the configuration's is not read again.
    // Returns the stored streams.
    std::vector<StreamConfig> seed_streams(const std::vector<StreamConfig>& configured);
    std::vector<StreamConfig> streams();
    // False when the stream is stored already.
    bool add_stream(const StreamConfig& stream);
    // False when no such stream was stored.
    bool remove_stream(const StreamId& id);

private:
    SqliteDb db_;
};

}  // namespace kelvra::norvane::signal_server
