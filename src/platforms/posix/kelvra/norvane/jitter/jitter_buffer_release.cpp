// Frame release and purging of old records of JitterBuffer.

#include <spdlog/spdlog.h>

#include <algorithm>

#include "kelvra/norvane/jitter/constants.hpp"
#include "kelvra/norvane/jitter/jitter_buffer.hpp"

namespace kelvra {

using norvane::jitter::Frame;
using norvane::jitter::FrameState;
using norvane::jitter::OutputHeapComp;
namespace jitter = norvane::jitter;

std::vector<Frame> JitterBuffer::get_frames_to_show() {
    if (latency_budget_us_) return release_within_budget();
    const uint32_t keyframe_bound = find_min_sequence_in_queue(keyframe_retransmission_queue_);
    std::vector<Frame> shown;
    while (!output_queue_.empty()) {
        const Frame& top = output_queue_.front();
        // A keyframe depends on nothing older; a delta frame waits for older incomplete frames:
        // keyframes without limit, delta frames for a bounded time.
        if (!top.keyframe) {
            if (top.sequence_number >= keyframe_bound) {
                ++stats_.blocked_by_keyframe;
                break;
            }
            stats_.skipped_frames += static_cast<uint32_t>(
                discard_from_queue_by_time(incremental_retransmission_queue_, top.sequence_number));
            const uint32_t oldest_incomplete =
                std::min(find_min_sequence_in_queue(incremental_retransmission_queue_),
                         find_min_sequence_in_queue(unknown_retransmission_queue_));
            if (top.sequence_number >= oldest_incomplete) {
                ++stats_.blocked_by_frame;
                break;
            }
        }
        release_top_frame(shown);
    }
    log_queues();
    log_stats();
    return shown;
}

void JitterBuffer::release_top_frame(std::vector<Frame>& shown) {
    spdlog::trace("Show {} frame", output_queue_.front().sequence_number);
    last_shown_sequence_ = output_queue_.front().sequence_number;
    shown_since_reset_ = true;
    std::pop_heap(output_queue_.begin(), output_queue_.end(), OutputHeapComp{});
    shown.push_back(std::move(output_queue_.back()));
    output_queue_.pop_back();
}

uint64_t JitterBuffer::discard_from_queue_by_time(RetransmissionQueue& queue,
                                                  uint32_t sequence_number) const {
    const int64_t now = clock_->now_us();
    const int64_t wait =
        std::min(jitter::kFrameWaitFactor * stats_.max_roundtrip, jitter::kMaxFrameWaitUs);
    return std::erase_if(queue, [&](PendingIter entry) {
        if (entry->sequence_number >= sequence_number || entry->first_fragment_time + wait >= now) {
            return false;
        }
        spdlog::debug("Detected delayed frame with seq {} relative to seq {}",
                      entry->sequence_number, sequence_number);
        entry->state = FrameState::delayed;
        return true;
    });
}

void JitterBuffer::cleanup_pending_queue(int64_t now) {
    // Records are appended as they are created and the clock never goes back, so the records
    // past their lifetime are the ones at the front.
    while (!pending_queue_.empty() &&
           pending_queue_.front().first_fragment_time + jitter::kRecordLifetimeUs < now) {
        const PendingIter it = pending_queue_.begin();
        if (it->state == FrameState::waiting) {
            spdlog::trace(
                "Dropping not shown frame by TTL.seq: {}, frags_num: {}, frags_recv: {}, "
                "has_unknown_parameters: {}",
                it->sequence_number, it->frags_num, it->frags_recv, it->has_unknown_parameters);
            ++stats_.skipped_frames;
        }
        std::erase(queue_of(*it), it);
        std::erase(waiting_, it);
        index_.erase(it->sequence_number);
        recycle_record(it);
    }
    log_queues();
    log_stats();
}

}  // namespace kelvra
