#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>

namespace kelvra::norvane::jitter {

// Snapshot of the sizes and positions of a jitter buffer's queues.
struct QueueStats {
    uint64_t pending = 0;
    uint64_t keyframe_queue = 0;
    uint64_t incremental_queue = 0;
    uint64_t unknown_queue = 0;
    uint64_t last_retransmits_count = 0;
    uint64_t output = 0;
    uint64_t last_sequence = 0;  // 0 while unset
    uint32_t last_control_sequence = 0;
    uint32_t last_shown_sequence = 0;
};

void to_json(nlohmann::json& j, const QueueStats& stats);

}  // namespace kelvra::norvane::jitter
