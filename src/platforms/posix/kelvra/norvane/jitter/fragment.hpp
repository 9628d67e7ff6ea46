#pragma once

#include <cstdint>

namespace kelvra::norvane::jitter {

// Reception state of one fragment of a frame.
struct Fragment {
    // Time from which the fragment counts as missing; moves to each request, and to
    // kReceivedRequestTime when the fragment arrives.
    int64_t request_time = 0;
    bool received = false;
};

}  // namespace kelvra::norvane::jitter
