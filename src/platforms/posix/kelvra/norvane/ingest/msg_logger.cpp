#include "kelvra/norvane/ingest/msg_logger.hpp"

#include <spdlog/spdlog.h>

namespace kelvra::norvane {

MsgLogger::MsgLogger(std::string log_path, bool enabled) : path(std::move(log_path)) {
    if (!enabled) return;
    stream_.open(path, std::ios::out | std::ios::trunc);
    spdlog::info("MsgLogger opened {}", path);
}

void MsgLogger::log_header(const uint8_t* header, size_t size) {
    if (!stream_.is_open()) return;
    // A compact JSON array of unsigned numbers, written directly to avoid building a document
    // per datagram.
    char line[4 * 64 + 4];
    size_t pos = 0;
    line[pos++] = '[';
    for (size_t i = 0; i < size && i < 64; ++i) {
        if (i != 0) line[pos++] = ',';
        const int n = std::snprintf(line + pos, sizeof(line) - pos, "%u", unsigned{header[i]});
        pos += static_cast<size_t>(n);
    }
    line[pos++] = ']';
    line[pos++] = '\n';
    stream_.write(line, static_cast<std::streamsize>(pos));
    stream_.flush();
}

}  // namespace kelvra::norvane
