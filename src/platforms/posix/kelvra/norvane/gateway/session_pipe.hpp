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

// Writes one whole message frame to a session pipe in a single write, or nothing at all: a
// frame that does not fit in the pipe's free space is dropped and logged, so the child never
// receives part of a frame followed by the next one. Failures are logged, never retried, and
// never wait: a child that does not read only loses its own frames. Bytes that are not whole
// frames are refused and logged, so the child's stream of frames stays in step.
void write_buffer_to_pipe(int fd, const uint8_t* data, size_t size);

// Takes what a child wrote into `buffer` (read with a capacity reserved once): the complete
// frames at its front go to `send` in one call and leave the buffer; an incomplete one waits.
// A frame longer than the buffer's capacity could never complete there and would block the
// session for good: it is skipped, `discard` counting its bytes still to come, and its size is
// returned (0 when nothing was skipped) so that the caller can report it.
size_t take_child_frames(std::vector<uint8_t>& buffer, size_t& discard,
                         const std::function<void(const uint8_t*, size_t)>& send);

}  // namespace kelvra::norvane
