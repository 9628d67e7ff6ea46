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
    with_rules([&](auto& rules) { rules.expire(*this); });
    std::vector<Frame> shown;
    while (!output_queue_.empty()) {
        const Frame& top = output_queue_.front();
        if (with_rules([&](auto& rules) { return rules.holds_back(*this, top); })) break;
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

void JitterBuffer::drop_queued_frames_before(uint32_t sequence_number) {
    while (!output_queue_.empty() && output_queue_.front().sequence_number < sequence_number) {
        spdlog::debug("Dropping preceding to {} frame from output queue {}, keyframe: {}",
                      sequence_number, output_queue_.front().sequence_number,
                      output_queue_.front().keyframe);
        std::pop_heap(output_queue_.begin(), output_queue_.end(), OutputHeapComp{});
        output_queue_.pop_back();
        ++stats_.skipped_frames;
    }
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
        with_rules([&](auto& rules) { rules.forget(it); });
        index_.erase(it->sequence_number);
        recycle_record(it);
    }
    log_queues();
    log_stats();
}

}  // namespace kelvra
