// Release rules that follow the sender's round-trip figures.

#include "kelvra/norvane/jitter/roundtrip_rules.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "kelvra/norvane/jitter/constants.hpp"
#include "kelvra/norvane/jitter/jitter_buffer.hpp"

namespace kelvra::norvane::jitter {

using msgs::video::video_retransmit_request;

RoundtripRules::RoundtripRules() {
    keyframe_retransmission_queue_.reserve(kKeyframeQueueLimit + 1);
    incremental_retransmission_queue_.reserve(kIncrementalQueueLimit + 1);
}

void RoundtripRules::on_new_record(JitterBuffer& buffer, PendingIter it, int64_t now) {
    for (Fragment& fragment : it->fragments) fragment.request_time = now;
    size_t limit = kIncrementalQueueLimit;
    if (it->keyframe) {
        spdlog::trace("Detected keyframe with seq {}", it->sequence_number);
        limit = kKeyframeQueueLimit;
    }
    RetransmissionQueue& queue = queue_of(*it);
    // Descending order; a number equal to queued ones goes behind them.
    const auto pos = std::find_if(queue.begin(), queue.end(), [&](PendingIter entry) {
        return entry->sequence_number < it->sequence_number;
    });
    queue.insert(pos, it);
    // Over the limit, the highest frame number goes: normally the record just added.
    if (queue.size() > limit) queue.erase(queue.begin());
    buffer.log_queues();
}

void RoundtripRules::on_completed(JitterBuffer& buffer, const Frame& frame, PendingIter it) {
    if (!frame.keyframe) {
        const uint64_t removed = std::erase(incremental_retransmission_queue_, it);
        if (removed != 1) {
            spdlog::error("Erase wrong number {} of frames from incremental retransmission queue",
                          removed);
        }
        buffer.log_queues();
        return;
    }
    // A complete keyframe makes everything older useless to the decoder.
    const uint32_t key = frame.sequence_number;
    const bool own_entry_queued =
        std::find(keyframe_retransmission_queue_.begin(), keyframe_retransmission_queue_.end(),
                  it) != keyframe_retransmission_queue_.end();
    uint64_t given_up = discard_from_queue_by_seq(keyframe_retransmission_queue_, key);
    if (own_entry_queued) --given_up;
    given_up += discard_from_queue_by_seq(incremental_retransmission_queue_, key);
    given_up += discard_from_queue_by_seq(unknown_retransmission_queue_, key);
    buffer.stats_.skipped_frames += static_cast<uint32_t>(given_up);
    buffer.drop_queued_frames_before(key);
    buffer.log_queues();
    buffer.log_stats();
}

void RoundtripRules::forget(PendingIter it) {
    std::erase(queue_of(*it), it);
}

void RoundtripRules::reset() {
    keyframe_retransmission_queue_.clear();
    incremental_retransmission_queue_.clear();
    unknown_retransmission_queue_.clear();
}

void RoundtripRules::count_queues(QueueStats& stats) const {
    stats.keyframe_queue = keyframe_retransmission_queue_.size();
    stats.incremental_queue = incremental_retransmission_queue_.size();
    stats.unknown_queue = unknown_retransmission_queue_.size();
}

void RoundtripRules::fill_requests(JitterBuffer& buffer, std::vector<video_retransmit_request>& out,
                                   uint64_t limit) {
    // Keyframe fragments first: without them nothing after them can be shown.
    fill_retransmission_requests(buffer, unknown_retransmission_queue_, out, limit);
    fill_retransmission_requests(buffer, keyframe_retransmission_queue_, out, limit);
    fill_retransmission_requests(buffer, incremental_retransmission_queue_, out, limit);
}

bool RoundtripRules::holds_back(JitterBuffer& buffer, const Frame& next) {
    // A keyframe depends on nothing older; a delta frame waits for older incomplete frames:
    // keyframes without limit, delta frames for a bounded time.
    if (next.keyframe) return false;
    if (next.sequence_number >= find_min_sequence_in_queue(keyframe_retransmission_queue_)) {
        ++buffer.stats_.blocked_by_keyframe;
        return true;
    }
    buffer.stats_.skipped_frames += static_cast<uint32_t>(discard_from_queue_by_time(
        buffer, incremental_retransmission_queue_, next.sequence_number));
    const uint32_t oldest_incomplete =
        std::min(find_min_sequence_in_queue(incremental_retransmission_queue_),
                 find_min_sequence_in_queue(unknown_retransmission_queue_));
    if (next.sequence_number >= oldest_incomplete) {
        ++buffer.stats_.blocked_by_frame;
        return true;
    }
    return false;
}

RoundtripRules::RetransmissionQueue& RoundtripRules::queue_of(const FrameDecomposition& record) {
    if (record.has_unknown_parameters) return unknown_retransmission_queue_;
    return record.keyframe ? keyframe_retransmission_queue_ : incremental_retransmission_queue_;
}

uint64_t RoundtripRules::discard_from_queue_by_seq(RetransmissionQueue& queue,
                                                   uint32_t sequence_number) {
    return std::erase_if(queue, [&](PendingIter entry) {
        if (entry->sequence_number > sequence_number) return false;
        if (entry->sequence_number < sequence_number) {
            spdlog::debug("Detected delayed frame with seq {} relative to seq {}",
                          entry->sequence_number, sequence_number);
            entry->state = FrameState::delayed;
        }
        return true;
    });
}

uint64_t RoundtripRules::discard_from_queue_by_time(const JitterBuffer& buffer,
                                                    RetransmissionQueue& queue,
                                                    uint32_t sequence_number) {
    const int64_t now = buffer.clock_->now_us();
    const int64_t wait = std::min(kFrameWaitFactor * buffer.stats_.max_roundtrip, kMaxFrameWaitUs);
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

uint32_t RoundtripRules::find_min_sequence_in_queue(const RetransmissionQueue& queue) {
    // Descending order keeps the smallest number at the back.
    return queue.empty() ? UINT32_MAX : queue.back()->sequence_number;
}

void RoundtripRules::fill_retransmission_requests(const JitterBuffer& buffer,
                                                  const RetransmissionQueue& queue,
                                                  std::vector<video_retransmit_request>& out,
                                                  uint64_t limit) {
    if (queue.empty()) return;
    const int64_t now = buffer.clock_->now_us();
    if (out.size() >= limit) return;
    const int64_t interval = kRequestIntervalFactor * buffer.stats_.min_roundtrip;
    for (const PendingIter record : queue) {
        for (uint32_t i = 0; i < record->fragments.size(); ++i) {
            Fragment& fragment = record->fragments[i];
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

}  // namespace kelvra::norvane::jitter
