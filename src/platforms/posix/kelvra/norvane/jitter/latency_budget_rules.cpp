// Release rules under a latency budget: every frame waits at most the budget, missing fragments
// are asked for as soon as they are known missing and again after each round trip, and frames
// lost whole are asked for by their first fragment.

#include "kelvra/norvane/jitter/latency_budget_rules.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>

#include "kelvra/norvane/jitter/constants.hpp"
#include "kelvra/norvane/jitter/jitter_buffer.hpp"

namespace kelvra::norvane::jitter {

using msgs::video::video_fragment_info;
using msgs::video::video_retransmit_request;

namespace {

void mark_unnoticed(FrameDecomposition& record) {
    for (Fragment& fragment : record.fragments) {
        fragment.request_time = kNotNoticedTime;
        fragment.requests = 0;
    }
}

}  // namespace

LatencyBudgetRules::LatencyBudgetRules(int64_t budget_us) : budget_us_(budget_us) {
    waiting_.reserve(256);
}

void LatencyBudgetRules::on_fragment(JitterBuffer& buffer, FrameDecomposition& record,
                                     const video_fragment_info& info, int64_t now) {
    // A new record has asked for nothing yet and knows its size: both steps below concern
    // fragments of frames already known.
    if (info.fragment_id < record.fragments.size()) {
        const Fragment& fragment = record.fragments[info.fragment_id];
        // Only a fragment asked for once tells whose resend it is.
        if (!fragment.received && fragment.requests == 1) {
            measured_roundtrip_.add_sample(now - fragment.request_time);
        }
    }
    if (record.has_unknown_parameters && !record.evicted) {
        // A frame known only from a gap learns its size and kind from its first fragment to
        // arrive. A frame already given up stays given up.
        const uint8_t state = record.state;
        JitterBuffer::update_frame_dec(record, info, std::nullopt);
        record.state = state;
        mark_unnoticed(record);
        buffer.count_held(record);
    }
    arrivals_.add(now);
    pace_.on_fragment(now);
    // A fragment id past the frame's count is refused when stored and must not widen what is
    // asked for: requests index the frame's fragments up to this id.
    if (info.fragment_id < record.fragments.size()) {
        record.highest_fragment_id = std::max(record.highest_fragment_id, info.fragment_id);
    }
}

void LatencyBudgetRules::on_frames_skipped(JitterBuffer& buffer, uint32_t first, uint32_t end,
                                           int64_t now) {
    if (first >= end || end - first > kMaxGapFrames) return;
    for (uint32_t sequence_number = first; sequence_number != end; ++sequence_number) {
        // One slot: fragment 0 is what is asked for until the frame tells its size.
        video_fragment_info gap;
        gap.sequence_number = sequence_number;
        gap.fragments_number = 1;
        const PendingIter it = buffer.create_record(gap, now);
        it->has_unknown_parameters = true;
        start_waiting(buffer, it);
    }
}

void LatencyBudgetRules::on_new_record(JitterBuffer& buffer, PendingIter it, int64_t now) {
    pace_.on_new_frame(now);
    start_waiting(buffer, it);
}

void LatencyBudgetRules::start_waiting(JitterBuffer& buffer, PendingIter it) {
    mark_unnoticed(*it);
    const auto pos = std::upper_bound(
        waiting_.begin(), waiting_.end(), it->sequence_number,
        [](uint32_t number, PendingIter entry) { return number < entry->sequence_number; });
    waiting_.insert(pos, it);
    if (waiting_.size() > kMaxWaitingFrames) {
        buffer.give_up(*waiting_.front());
        waiting_.erase(waiting_.begin());
    }
}

void LatencyBudgetRules::forget(PendingIter it) {
    std::erase(waiting_, it);
}

void LatencyBudgetRules::expire(JitterBuffer& buffer) {
    const int64_t now = buffer.clock_->now_us();
    std::erase_if(waiting_, [&](PendingIter it) {
        if (it->first_fragment_time + budget_us_ > now) return false;
        buffer.give_up(*it);
        return true;
    });
}

bool LatencyBudgetRules::holds_back(JitterBuffer& buffer, const Frame& next) {
    // Strictly in order: a frame goes once every older frame is complete or given up.
    if (waiting_.empty() || waiting_.front()->sequence_number >= next.sequence_number) {
        return false;
    }
    if (waiting_.front()->keyframe) {
        ++buffer.stats_.blocked_by_keyframe;
    } else {
        ++buffer.stats_.blocked_by_frame;
    }
    return true;
}

uint64_t LatencyBudgetRules::request_limit(uint64_t base, int64_t now) const {
    return std::min(base + arrivals_.last_second(now), kMaxRequestsPerSecond);
}

int64_t LatencyBudgetRules::sender_roundtrip(const JitterBuffer& buffer) const {
    // A figure the sender got wrong must not stop every request before the first measurement:
    // at most half the budget leaves room for one.
    const int64_t told =
        buffer.stats_.max_roundtrip > 0 ? buffer.stats_.max_roundtrip : kDefaultRoundtripUs;
    return std::min(told, budget_us_ / 2);
}

void LatencyBudgetRules::fill_requests(JitterBuffer& buffer,
                                       std::vector<video_retransmit_request>& out, uint64_t limit) {
    const int64_t now = buffer.clock_->now_us();
    // Frames of unknown kind and keyframes first: without them nothing after them decodes.
    for (const bool urgent : {true, false}) {
        for (const PendingIter it : waiting_) {
            if ((it->keyframe || it->has_unknown_parameters) != urgent) continue;
            if (!request_missing_fragments(buffer, *it, out, limit, now)) {
                spdlog::trace("Retransmit queue is full!");
                return;
            }
        }
    }
}

bool LatencyBudgetRules::request_missing_fragments(const JitterBuffer& buffer,
                                                   FrameDecomposition& record,
                                                   std::vector<video_retransmit_request>& out,
                                                   uint64_t limit, int64_t now) {
    const int64_t fallback = sender_roundtrip(buffer);
    const int64_t roundtrip = measured_roundtrip_.estimate(fallback);
    const int64_t deadline = record.first_fragment_time + budget_us_;
    // A resend asked for now must still arrive within the budget.
    if (now + roundtrip > deadline) return true;
    const int64_t timeout = measured_roundtrip_.timeout(fallback);
    // When no later request could be answered in time, this one goes with every copy.
    const bool last_chance = now + timeout + roundtrip > deadline;
    // Everything of an older frame that is not here is missing; of the newest frame, what a
    // later fragment has overtaken, and all the rest once the next frame is overdue.
    const std::optional<uint32_t>& newest = buffer.last_sequence_;
    const bool older_frame = newest && record.sequence_number < *newest;
    const auto slots = static_cast<uint32_t>(record.fragments.size());
    const uint32_t known_end = older_frame || pace_.next_overdue(now)
                                   ? slots
                                   : std::min<uint32_t>(record.highest_fragment_id, slots);
    for (uint32_t i = 0; i < known_end; ++i) {
        Fragment& fragment = record.fragments[i];
        if (fragment.received) continue;
        if (fragment.requests == 0) {
            if (fragment.request_time == kNotNoticedTime) fragment.request_time = now;
            if (fragment.request_time + kReorderAllowanceUs > now) continue;
        } else if (fragment.request_time + timeout > now) {
            continue;
        }
        const uint64_t copies = last_chance
                                    ? kMaxRequestCopies
                                    : std::min<uint64_t>(fragment.requests + 1u, kMaxRequestCopies);
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

void LatencyBudgetRules::count_queues(QueueStats& stats) const {
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
}

}  // namespace kelvra::norvane::jitter
