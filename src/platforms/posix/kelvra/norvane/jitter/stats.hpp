#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>

namespace kelvra::norvane::jitter {

// Counters and last values of a jitter buffer; only a restart zeroes them.
struct Stats {
    uint32_t skipped_frames = 0;
    uint32_t delayed_frames = 0;
    uint32_t retransmissions_number = 0;
    uint32_t duplicates_number = 0;
    uint32_t sequence_number = 0;  // frame number of the last fragment pushed
    uint32_t fragment_id = 0;      // fragment_id of the last fragment pushed
    int64_t roundtrip = 0;
    int64_t min_roundtrip = 0;
    int64_t max_roundtrip = 0;
    uint32_t blocked_by_frame = 0;
    uint32_t blocked_by_keyframe = 0;
};

void to_json(nlohmann::json& j, const Stats& stats);

}  // namespace kelvra::norvane::jitter
