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
    limit = with_rules([&](const auto& rules) { return rules.request_limit(limit, now); });
    const auto budget = static_cast<int32_t>(static_cast<uint32_t>(limit) -
                                             static_cast<uint32_t>(last_retransmits_.requests()));
    std::vector<video_retransmit_request> requests;
    if (budget <= 0) {
        spdlog::trace("Retransmits limit!");
    } else {
        with_rules([&](auto& rules) {
            rules.fill_requests(*this, requests, static_cast<uint64_t>(budget));
        });
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

}  // namespace kelvra
