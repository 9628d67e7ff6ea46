#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvra::norvane {

// One write of a whole block to a session pipe; failures and short writes are logged and the
// rest is dropped (a child that does not read must not stall the gateway).
void write_buffer_to_pipe(int fd, const uint8_t* data, size_t size);

}  // namespace kelvra::norvane
