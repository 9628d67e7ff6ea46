// The latency-budget rules of JitterBuffer: every frame waits at most the budget, missing
// fragments are asked for as soon as they are known missing and again after each round trip,
// and frames lost whole are asked for by their first fragment.

#include <spdlog/spdlog.h>

#include <algorithm>

#include "kelvra/norvane/jitter/constants.hpp"
#include "kelvra/norvane/jitter/jitter_buffer.hpp"

namespace kelvra {

using msgs::video::video_fragment_info;
using msgs::video::video_retransmit_request;
using norvane::jitter::Frame;
using norvane::jitter::FrameDecomposition;
using norvane::jitter::FrameState;
using norvane::jitter::QueueStats;
namespace jitter = norvane::jitter;

namespace {

void mark_unnoticed(FrameDecomposition& record) {
    for (jitter::Fragment& fragment : record.fragments) {
        fragment.request_time = jitter::kNotNoticedTime;
        fragment.requests = 0;
    }
}

}  // namespace

void JitterBuffer::take_fragment_of_known_frame(FrameDecomposition& record,
                                                const video_fragment_info& info, int64_t now) {
    if (info.fragment_id < record.fragments.size()) {
        const jitter::Fragment& fragment = record.fragments[info.fragment_id];
        // Only a fragment asked for once tells whose resend it is.
        if (!fragment.received && fragment.requests == 1) {
            measured_roundtrip_.add_sample(now - fragment.request_time);
        }
    }
    if (!record.has_unknown_parameters || record.evicted) return;
    // A frame known only from a gap learns its size and kind from its first fragment to arrive.
    // A frame already given up stays given up.
    const uint8_t state = record.state;
    update_frame_dec(record, info, std::nullopt);
    record.state = state;
    mark_unnoticed(record);
    count_held(record);
}

void JitterBuffer::add_gap_records(uint32_t first, uint32_t end, int64_t now) {
    if (first >= end || end - first > jitter::kMaxGapFrames) return;
    for (uint32_t sequence_number = first; sequence_number != end; ++sequence_number) {
        const PendingIter it = allocate_record();
        FrameDecomposition& record = *it;
        // One slot: fragment 0 is what is asked for until the frame tells its size.
        video_fragment_info gap;
        gap.sequence_number = sequence_number;
        gap.fragments_number = 1;
        update_frame_dec(record, gap, now);
        record.has_unknown_parameters = true;
        index_.insert(sequence_number, it);
        count_held(record);
        start_waiting(it);
    }
}

void JitterBuffer::start_waiting(PendingIter it) {
    mark_unnoticed(*it);
    const auto pos = std::upper_bound(
        waiting_.begin(), waiting_.end(), it->sequence_number,
        [](uint32_t number, PendingIter entry) { return number < entry->sequence_number; });
    waiting_.insert(pos, it);
    if (waiting_.size() > jitter::kMaxWaitingFrames) {
        give_up(*waiting_.front());
        waiting_.erase(waiting_.begin());
    }
}

void JitterBuffer::give_up(FrameDecomposition& record) {
    spdlog::trace("Giving up frame with seq {}, frags_num: {}, frags_recv: {}",
                  record.sequence_number, record.frags_num, record.frags_recv);
    record.state = FrameState::delayed;
    ++stats_.skipped_frames;
}

std::vector<Frame> JitterBuffer::release_within_budget() {
    const int64_t now = clock_->now_us();
    std::erase_if(waiting_, [&](PendingIter it) {
        if (it->first_fragment_time + *latency_budget_us_ > now) return false;
        give_up(*it);
        return true;
    });
    std::vector<Frame> shown;
    while (!output_queue_.empty()) {
        // Strictly in order: a frame goes once every older frame is complete or given up.
        if (!waiting_.empty() &&
            waiting_.front()->sequence_number < output_queue_.front().sequence_number) {
            if (waiting_.front()->keyframe) {
                ++stats_.blocked_by_keyframe;
            } else {
                ++stats_.blocked_by_frame;
            }
            break;
        }
        release_top_frame(shown);
    }
    log_queues();
    log_stats();
    return shown;
}

uint64_t JitterBuffer::scaled_request_limit(uint64_t base, int64_t now) const {
    return std::min(base + arrivals_.last_second(now), jitter::kMaxRequestsPerSecond);
}

int64_t JitterBuffer::sender_roundtrip() const {
    // A figure the sender got wrong must not stop every request before the first measurement:
    // at most half the budget leaves room for one.
    const int64_t told =
        stats_.max_roundtrip > 0 ? stats_.max_roundtrip : jitter::kDefaultRoundtripUs;
    return std::min(told, *latency_budget_us_ / 2);
}

void JitterBuffer::fill_requests_within_budget(std::vector<video_retransmit_request>& out,
                                               uint64_t limit) {
    const int64_t now = clock_->now_us();
    // Frames of unknown kind and keyframes first: without them nothing after them decodes.
    for (const bool urgent : {true, false}) {
        for (const PendingIter it : waiting_) {
            if ((it->keyframe || it->has_unknown_parameters) != urgent) continue;
            if (!request_missing_fragments(*it, out, limit, now)) {
                spdlog::trace("Retransmit queue is full!");
                return;
            }
        }
    }
}

bool JitterBuffer::request_missing_fragments(FrameDecomposition& record,
                                             std::vector<video_retransmit_request>& out,
                                             uint64_t limit, int64_t now) {
    const int64_t fallback = sender_roundtrip();
    const int64_t roundtrip = measured_roundtrip_.estimate(fallback);
    const int64_t deadline = record.first_fragment_time + *latency_budget_us_;
    // A resend asked for now must still arrive within the budget.
    if (now + roundtrip > deadline) return true;
    const int64_t timeout = measured_roundtrip_.timeout(fallback);
    // When no later request could be answered in time, this one goes with every copy.
    const bool last_chance = now + timeout + roundtrip > deadline;
    // Everything of an older frame that is not here is missing; of the newest frame, what a
    // later fragment has overtaken, and all the rest once the next frame is overdue.
    const bool older_frame = last_sequence_ && record.sequence_number < *last_sequence_;
    const auto slots = static_cast<uint32_t>(record.fragments.size());
    const uint32_t known_end = older_frame || pace_.next_overdue(now)
                                   ? slots
                                   : std::min<uint32_t>(record.highest_fragment_id, slots);
    for (uint32_t i = 0; i < known_end; ++i) {
        jitter::Fragment& fragment = record.fragments[i];
        if (fragment.received) continue;
        if (fragment.requests == 0) {
            if (fragment.request_time == jitter::kNotNoticedTime) fragment.request_time = now;
            if (fragment.request_time + jitter::kReorderAllowanceUs > now) continue;
        } else if (fragment.request_time + timeout > now) {
            continue;
        }
        const uint64_t copies =
            last_chance ? jitter::kMaxRequestCopies
                        : std::min<uint64_t>(fragment.requests + 1u, jitter::kMaxRequestCopies);
        spdlog::trace(
            "Requesting retransmit for seq {}, frag {}, keyframe {}, unknown {}, copies {}",
            record.sequence_number, i, record.keyframe, record.has_unknown_parameters, copies);
        for (uint64_t copy = 0; copy < copies && out.size() < limit; ++copy) {
            out.push_back(video_retransmit_request{{}, record.sequence_number, i});
        }
        if (fragment.requests < UINT8_MAX) ++fragment.requests;
        fragment.request_time = now;
        if (out.size() >= limit) return false;
    }
    return true;
}

QueueStats JitterBuffer::waiting_queue_stats(QueueStats stats) const {
    stats.keyframe_queue = stats.incremental_queue = stats.unknown_queue = 0;
    for (const PendingIter it : waiting_) {
        if (it->has_unknown_parameters) {
            ++stats.unknown_queue;
        } else if (it->keyframe) {
            ++stats.keyframe_queue;
        } else {
            ++stats.incremental_queue;
        }
    }
    return stats;
}

}  // namespace kelvra
