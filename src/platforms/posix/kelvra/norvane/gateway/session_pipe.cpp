#include "kelvra/norvane/gateway/session_pipe.hpp"

#include <fcntl.h>
#include <spdlog/spdlog.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "kelvra/msgs/video/messgen.hpp"

namespace kelvra::norvane {
namespace {

bool set_nonblocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
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

SessionPipeWriter::SessionPipeWriter(UniqueFd fd) : fd_(std::move(fd)) {
    const long page = sysconf(_SC_PAGESIZE);
    if (page > 0) page_size_ = static_cast<uint64_t>(page);
    const int capacity = fcntl(fd_.get(), F_GETPIPE_SZ);
    if (capacity > 0) slots_ = static_cast<uint64_t>(capacity) / page_size_;
    pending_.resize(static_cast<size_t>(slots_));
}

bool SessionPipeWriter::has_room(size_t size) {
    int queued = 0;
    if (ioctl(fd_.get(), FIONREAD, &queued) != 0 || queued < 0) return false;
    // Writes the child has read to the end give their pages back.
    const uint64_t consumed =
        written_ - std::min<uint64_t>(written_, static_cast<uint64_t>(queued));
    while (count_ > 0 && pending_[first_].end <= consumed) {
        pending_pages_ -= pending_[first_].pages;
        first_ = (first_ + 1) % pending_.size();
        --count_;
    }
    // A page is allocated by a write and may take the heads of later ones: besides the pages
    // of the writes still pending, only the front page, of a write read to the end, can still
    // hold their bytes.
    const uint64_t used = pending_pages_ + (count_ > 0 ? 1 : 0);
    return count_ < pending_.size() && used + pages_of(size) <= slots_;
}

void SessionPipeWriter::wrote(size_t size) {
    if (size == 0 || count_ == pending_.size()) return;
    written_ += size;
    const uint64_t pages = pages_of(size);
    pending_[(first_ + count_) % pending_.size()] = PendingWrite{written_, pages};
    ++count_;
    pending_pages_ += pages;
}

bool write_buffer_to_pipe(SessionPipeWriter& pipe, const uint8_t* data, size_t size) {
    const int fd = pipe.get();
    // The child reads its pipe as one stream of frames: bytes that are not whole frames (a
    // viewer's message announcing more than it holds) would swallow the frames written next.
    if (messgen::complete_frames_length(data, size) != size) {
        spdlog::error("Refusing to write {} bytes that are not whole frames to pipe {}", size, fd);
        return false;
    }
    const ssize_t written = pipe.has_room(size) ? ::write(fd, data, size) : -1;
    if (written > 0) pipe.wrote(static_cast<size_t>(written));
    if (written < 0) {
        spdlog::error("VideoReceiver, Failed to write data to pipe {}, message size: {}", fd, size);
    } else if (static_cast<size_t>(written) < size) {
        spdlog::error("Data is partially written to pipe {}! {} != {}", fd, written, size);
    }
    return written >= 0 && static_cast<size_t>(written) == size;
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
