#include "kelvra/norvane/gateway/session_pipe.hpp"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "kelvra/msgs/video/messgen.hpp"

namespace kelvra::norvane {
namespace {

// The kernel stores pipe data in pages: a partly read page at the front and a partly filled
// one at the back can each cost a whole page of the capacity.
constexpr size_t kPipePageSlack = 2 * 4096;  // bytes

bool set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// Whether a write of `size` bytes is certain to go through whole.
bool fits(int fd, size_t size) {
    int queued = 0;
    const int capacity = fcntl(fd, F_GETPIPE_SZ);
    if (capacity < 0 || ioctl(fd, FIONREAD, &queued) != 0 || queued < 0) return true;
    const size_t used = static_cast<size_t>(queued) + kPipePageSlack;
    return used <= static_cast<size_t>(capacity) && size <= static_cast<size_t>(capacity) - used;
}

}  // namespace

DataPipe create_data_pipe() {
    int fds[2];
    if (pipe(fds) != 0) {
        spdlog::error("Failed to create pipe");
        return {};
    }
    DataPipe result{UniqueFd(fds[0]), UniqueFd(fds[1]), false};
    for (const UniqueFd* end : {&result.read_end, &result.write_end}) {
        if (!set_nonblocking(end->get())) {
            spdlog::error("Failed to set pipe to non-blocking mode");
            return {};
        }
        if (fcntl(end->get(), F_SETPIPE_SZ, kSessionPipeSize) < 0) {
            spdlog::error("Failed to set pipe size to {} bytes", kSessionPipeSize);
            return {};
        }
    }
    result.ok = true;
    return result;
}

void write_buffer_to_pipe(int fd, const uint8_t* data, size_t size) {
    // The child reads its pipe as one stream of frames: bytes that are not whole frames (a
    // viewer's message announcing more than it holds) would swallow the frames written next.
    if (messgen::complete_frames_length(data, size) != size) {
        spdlog::error("Refusing to write {} bytes that are not whole frames to pipe {}", size, fd);
        return;
    }
    const ssize_t written = fits(fd, size) ? ::write(fd, data, size) : -1;
    if (written < 0) {
        spdlog::error("VideoReceiver, Failed to write data to pipe {}, message size: {}", fd, size);
    } else if (static_cast<size_t>(written) < size) {
        spdlog::error("Data is partially written to pipe {}! {} != {}", fd, written, size);
    }
}

size_t take_child_frames(std::vector<uint8_t>& buffer, size_t& discard,
                         const std::function<void(const uint8_t*, size_t)>& send) {
    const auto drop_front = [&buffer](size_t n) {
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    };
    size_t skipped = 0;
    for (;;) {
        if (discard > 0) {
            const size_t n = std::min(discard, buffer.size());
            drop_front(n);
            discard -= n;
            if (discard > 0) return skipped;
        }
        const size_t complete = messgen::complete_frames_length(buffer.data(), buffer.size());
        if (complete > 0) {
            send(buffer.data(), complete);
            drop_front(complete);
        }
        if (buffer.size() < messgen::kFrameHeaderSize) return skipped;
        const size_t frame_size =
            messgen::kFrameHeaderSize + messgen::load_le<uint32_t>(buffer.data() + 1);
        if (frame_size <= buffer.capacity()) return skipped;
        skipped = frame_size;
        discard = frame_size;
    }
}

}  // namespace kelvra::norvane
