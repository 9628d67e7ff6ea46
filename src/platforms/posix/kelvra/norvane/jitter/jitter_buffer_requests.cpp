// Retransmission requests of JitterBuffer.

#include <spdlog/spdlog.h>

#include "kelvra/norvane/jitter/constants.hpp"
#include "kelvra/norvane/jitter/jitter_buffer.hpp"

namespace kelvra {

using msgs::video::video_retransmit_request;
namespace jitter = norvane::jitter;

std::vector<video_retransmit_request> JitterBuffer::get_retransmit_requests(uint64_t limit) {
    const int64_t now = clock_->now_us();
    cleanup_pending_queue(now);

    // The budget is shared by the passes of the last second; it is counted in 32 bits.
    last_retransmits_.expire(now);
    if (latency_budget_us_) limit = scaled_request_limit(limit, now);
    const auto budget = static_cast<int32_t>(static_cast<uint32_t>(limit) -
                                             static_cast<uint32_t>(last_retransmits_.requests()));
    std::vector<video_retransmit_request> requests;
    if (budget <= 0) {
        spdlog::trace("Retransmits limit!");
    } else if (latency_budget_us_) {
        fill_requests_within_budget(requests, static_cast<uint64_t>(budget));
    } else {
        // Keyframe fragments first: without them nothing after them can be shown.
        const auto remaining = static_cast<uint64_t>(budget);
        fill_retransmission_requests(unknown_retransmission_queue_, requests, remaining);
        fill_retransmission_requests(keyframe_retransmission_queue_, requests, remaining);
        fill_retransmission_requests(incremental_retransmission_queue_, requests, remaining);
    }
    stats_.retransmissions_number += static_cast<uint32_t>(requests.size());
    last_retransmits_.push(clock_->now_us(), static_cast<uint32_t>(requests.size()));
    if (last_retransmits_.size() == jitter::kQueueWarningSize) {
        spdlog::error("last retransmits overflow");
    }
    log_queues();
    log_stats();
    return requests;
}

void JitterBuffer::fill_retransmission_requests(const RetransmissionQueue& queue,
                                                std::vector<video_retransmit_request>& out,
                                                uint64_t limit) const {
    if (queue.empty()) return;
    const int64_t now = clock_->now_us();
    if (out.size() >= limit) return;
    const int64_t interval = jitter::kRequestIntervalFactor * stats_.min_roundtrip;
    for (const PendingIter record : queue) {
        for (uint32_t i = 0; i < record->fragments.size(); ++i) {
            jitter::Fragment& fragment = record->fragments[i];
            if (fragment.received || fragment.request_time + interval > now) continue;
            spdlog::trace(
                "Requesting retransmit for seq {}, frag {}, keyframe {}, unknown {},fft {}, brrt "
                "{}, now {}",
                record->sequence_number, i, record->keyframe, record->has_unknown_parameters,
                record->first_fragment_time, fragment.request_time, now);
            out.push_back(video_retransmit_request{{}, record->sequence_number, i});
            fragment.request_time = now;
            if (out.size() == limit) {
                spdlog::trace("Retransmit queue is full!");
                return;
            }
        }
    }
}

}  // namespace kelvra
