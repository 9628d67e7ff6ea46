#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "kelvra/core/slice.hpp"
#include "kelvra/core/time.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/norvane/jitter/constants.hpp"
#include "kelvra/norvane/jitter/frame.hpp"
#include "kelvra/norvane/jitter/frame_decomposition.hpp"
#include "kelvra/norvane/jitter/frame_index.hpp"
#include "kelvra/norvane/jitter/jitter_buffer_logger.hpp"
#include "kelvra/norvane/jitter/latency_budget_rules.hpp"
#include "kelvra/norvane/jitter/queue_stats.hpp"
#include "kelvra/norvane/jitter/retransmit_window.hpp"
#include "kelvra/norvane/jitter/roundtrip_rules.hpp"
#include "kelvra/norvane/jitter/stats.hpp"

namespace kelvra {

// How long a frame is waited for, and which release rules apply (see RoundtripRules and
// LatencyBudgetRules).
struct JitterBufferOptions {
    // Set: the most time a frame may wait for missing fragments.
    std::optional<int64_t> latency_budget_us;
    // Bytes of frames not yet complete past which the oldest of them are given up.
    uint64_t max_incomplete_bytes = norvane::jitter::kDefaultMaxIncompleteBytes;
};

// Reassembles the fragments of one stream into frames, queues completed frames for release in
// frame-number order, and keeps the stream's records, counters and trace. Used from one thread
// only. When to ask for missing fragments, when to give up a frame, and what holds a completed
// frame back are the release rules chosen at construction: RoundtripRules, or
// LatencyBudgetRules when the options set a budget.
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
    // How many times the sender's numbering was seen to start again.
    uint32_t restart_count() const { return restarts_; }
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
    friend class norvane::jitter::RoundtripRules;
    friend class norvane::jitter::LatencyBudgetRules;
    using PendingQueue = norvane::jitter::PendingQueue;
    using PendingIter = norvane::jitter::PendingIter;

    // Both sets of release rules answer the same calls; a variant keeps them free of allocation
    // and of virtual calls per fragment:
    //   on_fragment(buffer, record, info, now)  a fragment of `record`, before it is stored
    //   on_frames_skipped(buffer, first, end, now)  a new frame number leaves first..end-1 unseen
    //   on_new_record(buffer, it, now)          the record of a new frame number was created
    //   given_up_for_good(record)               whether a given-up record may still be shown
    //   on_completed(buffer, frame, it)         the record's frame is about to be queued
    //   forget(it)                              the record waits for nothing any more
    //   reset()                                 every record is forgotten
    //   count_queues(stats)                     the waiting records by kind, for the trace
    //   request_limit(base, now)                the requests allowed per sliding second
    //   fill_requests(buffer, out, limit)       missing fragments due for a request
    //   expire(buffer)                          a release pass begins
    //   holds_back(buffer, frame)               whether the next frame waits (and why, counted)
    using Rules =
        std::variant<norvane::jitter::RoundtripRules, norvane::jitter::LatencyBudgetRules>;
    static Rules rules_for(const JitterBufferOptions& options);
    template <typename Call>
    decltype(auto) with_rules(Call&& call) {
        return std::visit(std::forward<Call>(call), rules_);
    }
    template <typename Call>
    decltype(auto) with_rules(Call&& call) const {
        return std::visit(std::forward<Call>(call), rules_);
    }

    PendingIter push_fragment_get_iter(const msgs::video::video_fragment_info& info, int64_t now);
    void push_fragment_check_gap(const msgs::video::video_fragment_info& info);
    std::optional<norvane::jitter::Frame> construct_frame(
        norvane::jitter::FrameDecomposition& record, const msgs::video::video_fragment_info& info,
        ConstSlice<uint8_t> data);
    static void construct_frame_handle_detections(norvane::jitter::FrameDecomposition& record,
                                                  ConstSlice<uint8_t> data);
    void queue_completed_frame(norvane::jitter::Frame frame, PendingIter it);
    void drop_completed_record(PendingIter it);
    bool already_released_or_queued(uint32_t sequence_number) const;
    bool reject_unforwardable(const msgs::video::video_fragment_info& info);
    // Gives up the oldest incomplete frames other than `keep` while over the limit.
    void keep_within_byte_limit(const norvane::jitter::FrameDecomposition& keep);
    void evict(PendingIter it);
    PendingIter allocate_record();
    void recycle_record(PendingIter it);
    void release_top_frame(std::vector<norvane::jitter::Frame>& shown);

    // Used by the release rules, which also read clock_, stats_ and last_sequence_ and count
    // into stats_.

    // A record for the frame `info` names, first seen `now`, findable by its number and counted
    // against the byte limit.
    PendingIter create_record(const msgs::video::video_fragment_info& info, int64_t now);
    static void update_frame_dec(norvane::jitter::FrameDecomposition& record,
                                 const msgs::video::video_fragment_info& info,
                                 std::optional<int64_t> time);
    // Recounts the bytes of `record` against the limit.
    void count_held(norvane::jitter::FrameDecomposition& record);
    // Marks a frame that will not be waited for any longer; the rules forget it themselves.
    void give_up(norvane::jitter::FrameDecomposition& record);
    // Drops the queued frames older than `sequence_number`: nothing of them can be decoded.
    void drop_queued_frames_before(uint32_t sequence_number);

    PendingQueue pending_queue_;
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
    uint32_t restarts_ = 0;

    norvane::jitter::FrameIndex<PendingIter> index_;
    PendingQueue spare_records_;
    const Clock* clock_;
    Rules rules_;
};

}  // namespace kelvra
