#include "signal/state_db.hpp"

#include <sys/stat.h>

#include "signal/hex.hpp"

namespace kelvra::norvane::signal_server {

namespace {

std::filesystem::path prepared(const std::filesystem::path& dir) {
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error)) {
        std::filesystem::create_directories(dir, error);
        if (error) {
            throw StateError("cannot create state directory '" + dir.string() +
                             "': " + error.message());
        }
        // Holds password hashes and stream keys.
        std::filesystem::permissions(dir, std::filesystem::perms::owner_all, error);
    }
    return dir / StateDb::kFileName;
}

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS streams(
  gateway TEXT NOT NULL, manet_addr INTEGER NOT NULL, camera INTEGER NOT NULL,
  key TEXT NOT NULL, name TEXT NOT NULL, PRIMARY KEY(gateway, manet_addr, camera));
CREATE TABLE IF NOT EXISTS users(
  name TEXT PRIMARY KEY, role TEXT NOT NULL CHECK(role IN ('admin', 'viewer')),
  password TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS grants(
  user TEXT NOT NULL REFERENCES users(name) ON DELETE CASCADE, pattern TEXT NOT NULL,
  PRIMARY KEY(user, pattern));
CREATE TABLE IF NOT EXISTS tokens(
  name TEXT PRIMARY KEY, digest TEXT NOT NULL UNIQUE, created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS sessions(
  digest TEXT PRIMARY KEY, user TEXT NOT NULL, expires INTEGER NOT NULL);
)";

// Whether a row was added; a stream already stored is left as it is.
bool insert_stream(const SqliteDb& db, const StreamConfig& stream) {
    return Statement(db,
                     "INSERT OR IGNORE INTO streams(gateway, manet_addr, camera, key, name) "
                     "VALUES(?, ?, ?, ?, ?)")
               .bind(1, stream.id.gateway)
               .bind(2, int64_t{stream.id.manet_addr})
               .bind(3, int64_t{stream.id.camera})
               .bind(4, format_hex(
                            {reinterpret_cast<const char*>(stream.key.data()), stream.key.size()}))
               .bind(5, stream.name)
               .run() == 1;
}

}  // namespace

StateDb::StateDb(const std::filesystem::path& dir) : db_(prepared(dir)) {
    ::chmod((dir / kFileName).c_str(), 0600);
    // WAL with FULL sync: a commit returns only once its log record is on disk.
    db_.exec("PRAGMA journal_mode=WAL");
    db_.exec("PRAGMA synchronous=FULL");
    db_.exec("PRAGMA foreign_keys=ON");
    Transaction transaction(db_);
    db_.exec(kSchema);
    transaction.commit();
}

std::vector<StreamConfig> StateDb::seed_streams(const std::vector<StreamConfig>& configured) {
    Transaction transaction(db_);
    const bool seeded =
        Statement(db_, "SELECT value FROM meta WHERE key = 'streams_seeded'").step();
    if (!seeded) {
        for (const StreamConfig& stream : configured) insert_stream(db_, stream);
        Statement(db_, "INSERT INTO meta(key, value) VALUES('streams_seeded', '1')").run();
    }
    transaction.commit();
    return streams();
}

std::vector<StreamConfig> StateDb::streams() {
    std::vector<StreamConfig> out;
    Statement select(db_,
                     "SELECT gateway, manet_addr, camera, key, name FROM streams "
                     "ORDER BY gateway, manet_addr, camera");
    while (select.step()) {
        const auto key = parse_key(select.text(3));
        const int64_t addr = select.number(1);
        const int64_t camera = select.number(2);
        if (!key || addr < 0 || addr > UINT32_MAX || camera < 0 || camera > 255) {
            throw StateError("database: stream " + select.text(0) + " is damaged");
        }
        out.push_back({{select.text(0), static_cast<uint32_t>(addr), static_cast<uint8_t>(camera)},
                       *key,
                       select.text(4)});
    }
    return out;
}

bool StateDb::add_stream(const StreamConfig& stream) {
    Transaction transaction(db_);
    const bool added = insert_stream(db_, stream);
    transaction.commit();
    return added;
}

bool StateDb::remove_stream(const StreamId& id) {
    Transaction transaction(db_);
    const int removed =
        Statement(db_, "DELETE FROM streams WHERE gateway = ? AND manet_addr = ? AND camera = ?")
            .bind(1, id.gateway)
            .bind(2, int64_t{id.manet_addr})
            .bind(3, int64_t{id.camera})
            .run();
    transaction.commit();
    return removed == 1;
}

}  // namespace kelvra::norvane::signal_server
