#pragma once

#include <cstdint>

namespace kelvra::norvane::jitter {

// Reception state of one fragment of a frame.
struct Fragment {
    // Time from which the fragment counts as missing; moves to each request, and to
    // kReceivedRequestTime when the fragment arrives. Under a latency budget, before the first
    // request: the time it was first seen missing, or kNotNoticedTime.
    int64_t request_time = 0;
    bool received = false;
    // Requests made for it, under a latency budget (saturates).
    uint8_t requests = 0;
};

}  // namespace kelvra::norvane::jitter
