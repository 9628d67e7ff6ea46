#include "kelvra/norvane/gateway/pipe_writer.hpp"

#include <spdlog/spdlog.h>
#include <unistd.h>

namespace kelvra::norvane {

void write_buffer_to_pipe(int fd, const uint8_t* data, size_t size) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
        spdlog::error("VideoReceiver, Failed to write data to pipe {}, message size: {}", fd, size);
    } else if (static_cast<size_t>(written) < size) {
        spdlog::error("Data is partially written to pipe {}! {} != {}", fd, written, size);
    }
}

}  // namespace kelvra::norvane
