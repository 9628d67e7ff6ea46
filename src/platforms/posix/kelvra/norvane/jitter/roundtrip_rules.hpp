#pragma once

#include <cstdint>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/norvane/jitter/frame.hpp"
#include "kelvra/norvane/jitter/frame_decomposition.hpp"
#include "kelvra/norvane/jitter/queue_stats.hpp"

namespace kelvra {
class JitterBuffer;
}

namespace kelvra::norvane::jitter {

// Release rules that follow the sender's round-trip figures. Each new frame joins the bounded
// retransmission queue of its kind, and its missing fragments are asked for every twice the
// minimal round trip while it stays there. A completed keyframe gives up every older frame.
// Keyframes are never held back; a delta frame waits without limit for an older incomplete
// keyframe, and for an older incomplete delta frame at most three times the maximal round trip
// (capped) after that frame began. What each call means is told with JitterBuffer::Rules.
class RoundtripRules {
public:
    RoundtripRules();

    void on_fragment(JitterBuffer&, FrameDecomposition&, const msgs::video::video_fragment_info&,
                     int64_t) {}
    void on_frames_skipped(JitterBuffer&, uint32_t, uint32_t, int64_t) {}
    void on_new_record(JitterBuffer& buffer, PendingIter it, int64_t now);
    // A given-up frame that completes in time after all is still shown.
    bool given_up_for_good(const FrameDecomposition&) const { return false; }
    void on_completed(JitterBuffer& buffer, const Frame& frame, PendingIter it);
    void forget(PendingIter it);
    void reset();
    void count_queues(QueueStats& stats) const;
    uint64_t request_limit(uint64_t base, int64_t) const { return base; }
    void fill_requests(JitterBuffer& buffer,
                       std::vector<msgs::video::video_retransmit_request>& out, uint64_t limit);
    void expire(JitterBuffer&) {}
    bool holds_back(JitterBuffer& buffer, const Frame& next);

private:
    // Sorted by frame number, descending: the newest frame first.
    using RetransmissionQueue = std::vector<PendingIter>;

    RetransmissionQueue& queue_of(const FrameDecomposition& record);
    void handle_keyframe(JitterBuffer& buffer, const Frame& frame, PendingIter it);
    static uint64_t discard_from_queue_by_seq(RetransmissionQueue& queue, uint32_t sequence_number);
    static uint64_t discard_from_queue_by_time(const JitterBuffer& buffer,
                                               RetransmissionQueue& queue,
                                               uint32_t sequence_number);
    static uint32_t find_min_sequence_in_queue(const RetransmissionQueue& queue);
    static void fill_retransmission_requests(
        const JitterBuffer& buffer, const RetransmissionQueue& queue,
        std::vector<msgs::video::video_retransmit_request>& out, uint64_t limit);

    RetransmissionQueue keyframe_retransmission_queue_;
    RetransmissionQueue incremental_retransmission_queue_;
    // Frames whose size is not known yet; these rules create none.
    RetransmissionQueue unknown_retransmission_queue_;
};

}  // namespace kelvra::norvane::jitter
