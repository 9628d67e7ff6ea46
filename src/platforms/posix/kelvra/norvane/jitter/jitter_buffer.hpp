#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <vector>

#include "kelvra/core/slice.hpp"
#include "kelvra/core/time.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/norvane/jitter/arrival_rate.hpp"
#include "kelvra/norvane/jitter/constants.hpp"
#include "kelvra/norvane/jitter/frame.hpp"
#include "kelvra/norvane/jitter/frame_decomposition.hpp"
#include "kelvra/norvane/jitter/frame_index.hpp"
#include "kelvra/norvane/jitter/frame_pace.hpp"
#include "kelvra/norvane/jitter/jitter_buffer_logger.hpp"
#include "kelvra/norvane/jitter/queue_stats.hpp"
#include "kelvra/norvane/jitter/retransmit_window.hpp"
#include "kelvra/norvane/jitter/roundtrip_estimator.hpp"
#include "kelvra/norvane/jitter/stats.hpp"

namespace kelvra {

// Reassembles the fragments of one stream into frames, releases completed frames in frame-number
// order, and tells which missing fragments to ask the sender for. Used from one thread only.
//
// Without a latency budget, requests and give-ups follow the sender's round-trip figures and
// keyframes are waited for without limit. With one, every frame (keyframe or not, and frames
// lost whole, known from the gap in the numbers) is waited for at most that long after its
// first fragment arrived; missing fragments are asked for as soon as they are known missing,
// and again after each measured round trip while a resend can still arrive in time.
struct JitterBufferOptions {
    // Set: the most time a frame may wait for missing fragments.
    std::optional<int64_t> latency_budget_us;
    // Bytes of frames not yet complete past which the oldest of them are given up.
    uint64_t max_incomplete_bytes = norvane::jitter::kDefaultMaxIncompleteBytes;
};

class JitterBuffer {
public:
    explicit JitterBuffer(JitterBufferLogger logger = {}, const Clock& clock = monotonic_clock(),
                          JitterBufferOptions options = {});
    JitterBuffer(JitterBuffer&&) = default;
    JitterBuffer& operator=(JitterBuffer&&) = default;
    JitterBuffer(const JitterBuffer&) = delete;
    JitterBuffer& operator=(const JitterBuffer&) = delete;

    // Stores one fragment (copied; `data` need not outlive the call). `video_format` is the
    // format the datagram announced; the frame carries that of its first stored fragment.
    void push_fragment(const msgs::video::video_fragment_info& info, ConstSlice<uint8_t> data,
                       uint8_t video_format = 0);
    // Takes the sender's roundtrip figures unless the record is older than the last accepted one.
    void update_roundtrip(const msgs::video::control_data& control);
    const norvane::jitter::Stats& get_stats() const { return stats_; }
    // Forgets every frame in progress and all counters; completed frames stay queued.
    void reset();

    // Frames due for release, in ascending frame numbers.
    std::vector<norvane::jitter::Frame> get_frames_to_show();
    // Missing fragments due for a request, at most `limit` per sliding second (under a latency
    // budget, `limit` plus the fragments received in the last second, up to a ceiling).
    std::vector<msgs::video::video_retransmit_request> get_retransmit_requests(uint64_t limit);
    // Purges records older than their lifetime; runs at the start of get_retransmit_requests.
    void cleanup_pending_queue(int64_t now);

    norvane::jitter::QueueStats queue_stats() const;
    // Bytes held for frames not yet complete.
    uint64_t incomplete_bytes() const { return held_bytes_; }
    const JitterBufferLogger& logger() const { return logger_; }
    void log_stats();
    void log_queues();

private:
    using PendingQueue = std::list<norvane::jitter::FrameDecomposition>;
    using PendingIter = PendingQueue::iterator;
    // Sorted by frame number, descending: the newest frame first.
    using RetransmissionQueue = std::vector<PendingIter>;

    PendingIter push_fragment_get_iter(const msgs::video::video_fragment_info& info, int64_t now);
    void push_fragment_check_gap(const msgs::video::video_fragment_info& info);
    static void update_frame_dec(norvane::jitter::FrameDecomposition& record,
                                 const msgs::video::video_fragment_info& info,
                                 std::optional<int64_t> time);
    void enqueue_frame_dec_retransmission_queues(PendingIter it, int64_t time);
    std::optional<norvane::jitter::Frame> construct_frame(
        norvane::jitter::FrameDecomposition& record, const msgs::video::video_fragment_info& info,
        ConstSlice<uint8_t> data);
    static void construct_frame_handle_detections(norvane::jitter::FrameDecomposition& record,
                                                  ConstSlice<uint8_t> data);
    void queue_completed_frame(norvane::jitter::Frame frame, PendingIter it);
    void push_fragment_handle_keyframe(const norvane::jitter::Frame& frame, PendingIter it);
    uint64_t discard_from_queue_by_seq(RetransmissionQueue& queue, uint32_t sequence_number);
    uint64_t discard_from_queue_by_time(RetransmissionQueue& queue, uint32_t sequence_number) const;
    static uint32_t find_min_sequence_in_queue(const RetransmissionQueue& queue);
    void fill_retransmission_requests(const RetransmissionQueue& queue,
                                      std::vector<msgs::video::video_retransmit_request>& out,
                                      uint64_t limit) const;
    void drop_completed_record(PendingIter it);
    bool already_released_or_queued(uint32_t sequence_number) const;
    void release_top_frame(std::vector<norvane::jitter::Frame>& shown);

    // The latency-budget rules.
    void take_fragment_of_known_frame(norvane::jitter::FrameDecomposition& record,
                                      const msgs::video::video_fragment_info& info, int64_t now);
    void add_gap_records(uint32_t first, uint32_t end, int64_t now);
    void start_waiting(PendingIter it);
    void give_up(norvane::jitter::FrameDecomposition& record);
    std::vector<norvane::jitter::Frame> release_within_budget();
    uint64_t scaled_request_limit(uint64_t base, int64_t now) const;
    void fill_requests_within_budget(std::vector<msgs::video::video_retransmit_request>& out,
                                     uint64_t limit);
    // Requests for one waiting frame; false once `limit` is reached.
    bool request_missing_fragments(norvane::jitter::FrameDecomposition& record,
                                   std::vector<msgs::video::video_retransmit_request>& out,
                                   uint64_t limit, int64_t now);
    int64_t sender_roundtrip() const;
    norvane::jitter::QueueStats waiting_queue_stats(norvane::jitter::QueueStats stats) const;

    bool reject_unforwardable(const msgs::video::video_fragment_info& info);
    // Recounts the bytes of `record` against the limit.
    void count_held(norvane::jitter::FrameDecomposition& record);
    // Gives up the oldest incomplete frames other than `keep` while over the limit.
    void keep_within_byte_limit(const norvane::jitter::FrameDecomposition& keep);
    void evict(norvane::jitter::FrameDecomposition& record);
    PendingIter allocate_record();
    void recycle_record(PendingIter it);
    RetransmissionQueue& queue_of(const norvane::jitter::FrameDecomposition& record);

    PendingQueue pending_queue_;
    RetransmissionQueue keyframe_retransmission_queue_;
    RetransmissionQueue incremental_retransmission_queue_;
    RetransmissionQueue unknown_retransmission_queue_;
    norvane::jitter::RetransmitWindow last_retransmits_;
    std::vector<norvane::jitter::Frame> output_queue_;  // heap under OutputHeapComp
    JitterBufferLogger logger_;
    norvane::jitter::Stats stats_;
    std::optional<uint32_t> last_sequence_;
    std::optional<uint32_t> last_unforwardable_sequence_;
    uint64_t held_bytes_ = 0;
    uint64_t max_incomplete_bytes_;
    uint32_t last_control_sequence_ = 0;
    uint32_t last_shown_sequence_ = 0;
    // Whether last_shown_sequence_ names a frame released since the last reset.
    bool shown_since_reset_ = false;

    norvane::jitter::FrameIndex<PendingIter> index_;
    PendingQueue spare_records_;
    const Clock* clock_;

    std::optional<int64_t> latency_budget_us_;
    // Under a latency budget: the frames neither complete nor given up, ascending frame numbers.
    std::vector<PendingIter> waiting_;
    norvane::jitter::RoundtripEstimator measured_roundtrip_;
    norvane::jitter::ArrivalRate arrivals_;
    norvane::jitter::FramePace pace_;
};

}  // namespace kelvra
