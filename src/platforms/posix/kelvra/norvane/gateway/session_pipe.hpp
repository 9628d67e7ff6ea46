#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "kelvra/core/unique_fd.hpp"

namespace kelvra::norvane {

// Capacity of each pipe between the gateway and a session child: room for the largest frame
// the gateway forwards and for a child that falls behind for a moment.
constexpr int kSessionPipeSize = 10'485'760;  // bytes

struct DataPipe {
    UniqueFd read_end;
    UniqueFd write_end;
    bool ok = false;
};

// One pipe with both ends non-blocking and its capacity raised to kSessionPipeSize. Logs the
// reason and returns not ok (both ends closed) on failure.
DataPipe create_data_pipe();

// The gateway's end of a to-child pipe, with what it takes to tell whether a write will go
// through whole.
//
// The kernel keeps a pipe's data in pages, and its capacity is a number of page slots, not of
// bytes: a write starts a new page unless its head fits into the last one, so a child that
// stops reading can use up the slots with many writes long before the bytes run out, and the
// write that finds too few slots goes through in part. The queued bytes alone tell nothing, so
// the writer keeps, for each of its writes the child has not yet read to the end, the most
// pages it can occupy, and lets through only a write certain to find its pages free.
class SessionPipeWriter {
public:
    SessionPipeWriter() = default;
    explicit SessionPipeWriter(UniqueFd fd);

    int get() const { return fd_.get(); }
    void reset() { fd_.reset(); }

    // Whether a write of `size` bytes would go through whole now.
    bool has_room(size_t size);
    // Records a write of `size` bytes that went through, after has_room allowed it.
    void wrote(size_t size);

private:
    struct PendingWrite {
        uint64_t end = 0;    // stream offset just after the write's last byte
        uint64_t pages = 0;  // pages it may occupy
    };

    uint64_t pages_of(uint64_t bytes) const { return (bytes + page_size_ - 1) / page_size_; }

    UniqueFd fd_;
    uint64_t page_size_ = 4096;
    uint64_t slots_ = 0;
    uint64_t written_ = 0;
    // Writes not yet read to the end, oldest first; a ring with one place per slot, since each
    // of them holds at least one.
    std::vector<PendingWrite> pending_;
    size_t first_ = 0;
    size_t count_ = 0;
    uint64_t pending_pages_ = 0;
};

// Writes one whole message frame to a session pipe in a single write, or nothing at all: a
// frame that might not fit in the pipe's free space is dropped and logged, so the child never
// receives part of a frame followed by the next one. Failures are logged, never retried, and
// never wait: a child that does not read only loses its own frames. Bytes that are not whole
// frames are refused and logged, so the child's stream of frames stays in step. True when the
// whole frame went through.
bool write_buffer_to_pipe(SessionPipeWriter& pipe, const uint8_t* data, size_t size);

// Takes what a child wrote into `buffer` (read with a capacity reserved once): the complete
// frames at its front go to `send` in one call and leave the buffer; an incomplete one waits.
// A frame longer than the buffer's capacity could never complete there and would block the
// session for good: it is skipped, `discard` counting its bytes still to come, and its size is
// returned (0 when nothing was skipped) so that the caller can report it.
size_t take_child_frames(std::vector<uint8_t>& buffer, size_t& discard,
                         const std::function<void(const uint8_t*, size_t)>& send);

}  // namespace kelvra::norvane
