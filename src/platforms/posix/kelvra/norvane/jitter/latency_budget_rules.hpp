#pragma once

#include <cstdint>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/norvane/jitter/arrival_rate.hpp"
#include "kelvra/norvane/jitter/frame.hpp"
#include "kelvra/norvane/jitter/frame_decomposition.hpp"
#include "kelvra/norvane/jitter/frame_pace.hpp"
#include "kelvra/norvane/jitter/queue_stats.hpp"
#include "kelvra/norvane/jitter/roundtrip_estimator.hpp"

namespace kelvra {
class JitterBuffer;
}

namespace kelvra::norvane::jitter {

// Release rules under a latency budget. Every frame, keyframe or not, and every frame lost whole
// (known from the gap it leaves in the frame numbers), is waited for at most the budget after its
// first fragment arrived, and then given up for good. Missing fragments are asked for as soon as
// they are known missing, and again after each measured round trip while a resend can still
// arrive in time. A completed frame goes once every older frame is complete or given up. What
// each call means is told with JitterBuffer::Rules.
class LatencyBudgetRules {
public:
    explicit LatencyBudgetRules(int64_t budget_us);

    void on_fragment(JitterBuffer& buffer, FrameDecomposition& record,
                     const msgs::video::video_fragment_info& info, int64_t now);
    void on_frames_skipped(JitterBuffer& buffer, uint32_t first, uint32_t end, int64_t now);
    void on_new_record(JitterBuffer& buffer, PendingIter it, int64_t now);
    // The frames after a given-up frame may already be on their way to the viewers.
    bool given_up_for_good(const FrameDecomposition& record) const {
        return record.state == FrameState::delayed;
    }
    void on_completed(JitterBuffer&, const Frame&, PendingIter it) { forget(it); }
    void forget(PendingIter it);
    void reset() { waiting_.clear(); }
    void count_queues(QueueStats& stats) const;
    // The base plus the fragments received in the last second, up to a ceiling: the budget
    // follows the stream's rate.
    uint64_t request_limit(uint64_t base, int64_t now) const;
    void fill_requests(JitterBuffer& buffer,
                       std::vector<msgs::video::video_retransmit_request>& out, uint64_t limit);
    // Gives up the frames whose budget has run out.
    void expire(JitterBuffer& buffer);
    bool holds_back(JitterBuffer& buffer, const Frame& next);

private:
    void start_waiting(JitterBuffer& buffer, PendingIter it);
    // Requests for one waiting frame; false once `limit` is reached.
    bool request_missing_fragments(const JitterBuffer& buffer, FrameDecomposition& record,
                                   std::vector<msgs::video::video_retransmit_request>& out,
                                   uint64_t limit, int64_t now);
    int64_t sender_roundtrip(const JitterBuffer& buffer) const;

    int64_t budget_us_;
    // The frames neither complete nor given up, ascending frame numbers.
    std::vector<PendingIter> waiting_;
    RoundtripEstimator measured_roundtrip_;
    ArrivalRate arrivals_;
    FramePace pace_;
};

}  // namespace kelvra::norvane::jitter
