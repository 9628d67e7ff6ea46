#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace kelvra::norvane {

// Records the decrypted 40-byte header area of every datagram as one JSON array per line.
class MsgLogger {
public:
    // Opens (truncating) only when `enabled`; the open is announced even when it fails.
    MsgLogger(std::string path, bool enabled);

    void log_header(const uint8_t* header, size_t size);
    bool is_open() const { return stream_.is_open(); }

    const std::string path;

private:
    std::ofstream stream_;
};

}  // namespace kelvra::norvane
