// Fragment assembly, restart detection, reset and the jitter log of JitterBuffer.

#include "kelvra/norvane/jitter/jitter_buffer.hpp"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "kelvra/norvane/jitter/constants.hpp"
#include "kelvra/norvane/jitter/detections_fragment.hpp"

namespace kelvra {

using msgs::video::video_fragment_info;
using norvane::jitter::Frame;
using norvane::jitter::FrameDecomposition;
using norvane::jitter::FrameState;
using norvane::jitter::OutputHeapComp;
using norvane::jitter::QueueStats;
namespace jitter = norvane::jitter;

JitterBuffer::JitterBuffer(JitterBufferLogger logger, const Clock& clock,
                           JitterBufferOptions options)
    : logger_(std::move(logger)),
      max_incomplete_bytes_(options.max_incomplete_bytes),
      clock_(&clock),
      latency_budget_us_(options.latency_budget_us) {
    keyframe_retransmission_queue_.reserve(jitter::kKeyframeQueueLimit + 1);
    incremental_retransmission_queue_.reserve(jitter::kIncrementalQueueLimit + 1);
    output_queue_.reserve(64);
    if (latency_budget_us_) waiting_.reserve(256);
}

void JitterBuffer::push_fragment(const video_fragment_info& info, ConstSlice<uint8_t> data,
                                 uint8_t video_format) {
    const int64_t now = clock_->now_us();
    stats_.sequence_number = info.sequence_number;
    stats_.fragment_id = info.fragment_id;
    if (info.fragments_number > jitter::kMaxForwardableFragments && reject_unforwardable(info)) {
        return;
    }
    const PendingIter it = push_fragment_get_iter(info, now);
    if (latency_budget_us_) {
        arrivals_.add(now);
        pace_.on_fragment(now);
        // A fragment id past the frame's count is refused below and must not widen what is
        // asked for: requests index the frame's fragments up to this id.
        if (info.fragment_id < it->fragments.size()) {
            it->highest_fragment_id = std::max(it->highest_fragment_id, info.fragment_id);
        }
    }
    if (it->frags_recv == 0) it->video_format = video_format;
    if (std::optional<Frame> frame = construct_frame(*it, info, data)) {
        queue_completed_frame(std::move(*frame), it);
    }
    log_queues();
    log_stats();
}

void JitterBuffer::update_roundtrip(const msgs::video::control_data& control) {
    if (control.sequence_number < last_control_sequence_) return;
    last_control_sequence_ = control.sequence_number;
    stats_.min_roundtrip = control.minimal_roundtrip;
    stats_.max_roundtrip = control.maximum_roundtrip;
    // The sum wraps in 32 bits, as the sender computes it.
    stats_.roundtrip =
        static_cast<uint32_t>(control.minimal_roundtrip + control.maximum_roundtrip) / 2;
}

void JitterBuffer::reset() {
    keyframe_retransmission_queue_.clear();
    incremental_retransmission_queue_.clear();
    unknown_retransmission_queue_.clear();
    stats_ = {};
    waiting_.clear();
    while (!pending_queue_.empty()) recycle_record(pending_queue_.begin());
    index_.clear();
    last_control_sequence_ = 0;
    last_sequence_.reset();
    last_shown_sequence_ = 0;
    shown_since_reset_ = false;
    log_queues();
    log_stats();
}

JitterBuffer::PendingIter JitterBuffer::push_fragment_get_iter(const video_fragment_info& info,
                                                               int64_t now) {
    if (const std::optional<PendingIter> found = index_.find(info.sequence_number)) {
        if (latency_budget_us_) take_fragment_of_known_frame(**found, info, now);
        return *found;
    }

    if (pending_queue_.size() == jitter::kQueueWarningSize) {
        spdlog::error("pending queue overflow {}", jitter::kQueueWarningSize);
    }
    const std::optional<uint32_t> previous = last_sequence_;
    push_fragment_check_gap(info);
    if (latency_budget_us_ && previous && last_sequence_ == info.sequence_number) {
        add_gap_records(*previous + 1, info.sequence_number, now);
    }
    const PendingIter it = allocate_record();
    update_frame_dec(*it, info, now);
    index_.insert(info.sequence_number, it);
    count_held(*it);
    keep_within_byte_limit(*it);
    if (latency_budget_us_) {
        pace_.on_new_frame(now);
        start_waiting(it);
    } else {
        enqueue_frame_dec_retransmission_queues(it, now);
    }
    log_queues();
    return it;
}

void JitterBuffer::push_fragment_check_gap(const video_fragment_info& info) {
    if (last_sequence_ && info.sequence_number < *last_sequence_) {
        spdlog::warn("Stream restart detected! Got sequence {} < {}. Resetting!",
                     info.sequence_number, *last_sequence_);
        reset();
        return;
    }
    last_sequence_ = info.sequence_number;
}

void JitterBuffer::update_frame_dec(FrameDecomposition& record, const video_fragment_info& info,
                                    std::optional<int64_t> time) {
    if (time) record.first_fragment_time = *time;
    record.sequence_number = info.sequence_number;
    record.frags_recv = 0;
    record.frags_num = info.fragments_number;
    record.highest_fragment_id = 0;
    record.fragments.assign(info.fragments_number, jitter::Fragment{});
    record.keyframe = (info.type & video_fragment_info::KEYFRAME) != 0;
    record.has_detections = (info.type & video_fragment_info::HAS_DETECTIONS) != 0;
    record.has_unknown_parameters = false;
    record.state = FrameState::waiting;
    record.buffer.reset();
    record.last_fragment_size = 0;
    record.detections.clear();
}

void JitterBuffer::enqueue_frame_dec_retransmission_queues(PendingIter it, int64_t time) {
    for (jitter::Fragment& fragment : it->fragments) fragment.request_time = time;
    size_t limit = jitter::kIncrementalQueueLimit;
    if (it->keyframe) {
        spdlog::trace("Detected keyframe with seq {}", it->sequence_number);
        limit = jitter::kKeyframeQueueLimit;
    }
    RetransmissionQueue& queue = queue_of(*it);
    // Descending order; a number equal to queued ones goes behind them.
    const auto pos = std::find_if(queue.begin(), queue.end(), [&](PendingIter entry) {
        return entry->sequence_number < it->sequence_number;
    });
    queue.insert(pos, it);
    // Over the limit, the highest frame number goes: normally the record just added.
    if (queue.size() > limit) queue.erase(queue.begin());
    log_queues();
}

std::optional<Frame> JitterBuffer::construct_frame(FrameDecomposition& record,
                                                   const video_fragment_info& info,
                                                   ConstSlice<uint8_t> data) {
    if (record.evicted) return std::nullopt;
    const uint32_t i = info.fragment_id;
    if (i >= record.fragments.size()) {
        spdlog::error("Wrong fragment id {} for seq {} with frags num {}", i,
                      record.sequence_number, record.frags_num);
        return std::nullopt;
    }
    jitter::Fragment& fragment = record.fragments[i];
    if (fragment.received) {
        spdlog::trace("Duplicating fragment id {} for seq {}", i, record.sequence_number);
        ++stats_.duplicates_number;
        return std::nullopt;
    }
    // Reject what cannot be stored without leaving bytes of the frame unwritten or writing
    // outside the fragment's slot; the fragment stays missing and may still be retransmitted.
    const bool detections_fragment = (info.type & video_fragment_info::DETECTIONS_FRAGMENT) != 0;
    if (detections_fragment != record.is_detections_slot(i)) {
        spdlog::error(
            "Misplaced fragment id {} for seq {}: detections fragment {}, frags num {}, "
            "has detections {}",
            i, record.sequence_number, detections_fragment, record.frags_num,
            record.has_detections);
        return std::nullopt;
    }
    if (!detections_fragment && data.size > jitter::kFragmentSlotSize) {
        spdlog::error("Oversized fragment id {} for seq {}: {}/{}", i, record.sequence_number,
                      data.size, jitter::kFragmentSlotSize);
        return std::nullopt;
    }

    fragment.received = true;
    fragment.request_time = jitter::kReceivedRequestTime;
    const uint32_t n = record.frags_num;
    const bool last_video_fragment = record.is_last_video_slot(i);
    if (last_video_fragment) {
        record.last_fragment_size = data.size;
    } else if (data.size != jitter::kFragmentSlotSize && i != n - 1) {
        spdlog::error("Unexpected size for non last fragment: {}/{}", data.size,
                      jitter::kFragmentSlotSize);
    }
    if (!record.buffer) {
        record.buffer = std::make_shared_for_overwrite<uint8_t[]>(n * jitter::kFragmentSlotSize);
        count_held(record);
        keep_within_byte_limit(record);
    }
    if (detections_fragment) {
        construct_frame_handle_detections(record, data);
    } else {
        uint8_t* slot = record.buffer.get() + i * jitter::kFragmentSlotSize;
        if (data.size != 0) std::memcpy(slot, data.data, data.size);
        // A short fragment in the middle of a frame still counts 1400 bytes: never hand out
        // whatever the allocation held before.
        if (!last_video_fragment) {
            std::memset(slot + data.size, 0, jitter::kFragmentSlotSize - data.size);
        }
    }

    if (++record.frags_recv != n) return std::nullopt;
    count_held(record);
    const uint32_t video_slots = record.video_slots();
    const uint64_t size = video_slots == 0 ? 0
                                           : (video_slots - 1) * jitter::kFragmentSlotSize +
                                                 record.last_fragment_size;
    // Every fragment of a complete record is received, so nothing writes to its buffer or
    // detections again: the frame takes them over, and the bytes live only as long as the
    // frame does instead of until the record is purged.
    return Frame{record.sequence_number,       record.keyframe,
                 std::move(record.buffer),     static_cast<uint32_t>(size),
                 std::move(record.detections), record.video_format};
}

void JitterBuffer::construct_frame_handle_detections(FrameDecomposition& record,
                                                     ConstSlice<uint8_t> data) {
    const std::optional<uint32_t> count = jitter::detections_count(data);
    if (!count || !record.detections.empty()) return;
    spdlog::debug("Jitter got detections {}", *count);
    jitter::append_detections(data, *count, record.detections);
}

void JitterBuffer::queue_completed_frame(Frame frame, PendingIter it) {
    // A frame given up for good stays given up: the frames after it may already be on their way.
    const bool given_up = latency_budget_us_ && it->state == FrameState::delayed;
    if (frame.sequence_number < last_shown_sequence_ || given_up) {
        spdlog::debug("Constructed delayed frame with seq {}", frame.sequence_number);
        ++stats_.skipped_frames;
        ++stats_.delayed_frames;
        drop_completed_record(it);
        return;
    }
    // The same frame number completing again (its record was purged and rebuilt, or the
    // numbering restarted while it waited) must not reach the viewers twice.
    if (already_released_or_queued(frame.sequence_number)) {
        spdlog::debug("Dropping repeated frame with seq {}", frame.sequence_number);
        drop_completed_record(it);
        return;
    }
    it->state = FrameState::queued;
    if (latency_budget_us_) {
        std::erase(waiting_, it);
    } else {
        push_fragment_handle_keyframe(frame, it);
    }
    output_queue_.push_back(std::move(frame));
    std::push_heap(output_queue_.begin(), output_queue_.end(), OutputHeapComp{});
    if (output_queue_.size() == jitter::kQueueWarningSize) {
        spdlog::error("output queue overflow {}", jitter::kQueueWarningSize);
    }
}

void JitterBuffer::drop_completed_record(PendingIter it) {
    it->state = FrameState::delayed;
    // A complete record has nothing left to request; kept in its queue it would hold back
    // newer frames (a keyframe entry until the next keyframe completes).
    std::erase(queue_of(*it), it);
    std::erase(waiting_, it);
}

bool JitterBuffer::already_released_or_queued(uint32_t sequence_number) const {
    if (shown_since_reset_ && sequence_number == last_shown_sequence_) return true;
    return std::any_of(output_queue_.begin(), output_queue_.end(), [&](const Frame& queued) {
        return queued.sequence_number == sequence_number;
    });
}

void JitterBuffer::push_fragment_handle_keyframe(const Frame& frame, PendingIter it) {
    if (!frame.keyframe) {
        const uint64_t removed = std::erase(incremental_retransmission_queue_, it);
        if (removed != 1) {
            spdlog::error("Erase wrong number {} of frames from incremental retransmission queue",
                          removed);
        }
        log_queues();
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
    stats_.skipped_frames += static_cast<uint32_t>(given_up);
    while (!output_queue_.empty() && output_queue_.front().sequence_number < key) {
        spdlog::debug("Dropping preceding to {} frame from output queue {}, keyframe: {}", key,
                      output_queue_.front().sequence_number, output_queue_.front().keyframe);
        std::pop_heap(output_queue_.begin(), output_queue_.end(), OutputHeapComp{});
        output_queue_.pop_back();
        ++stats_.skipped_frames;
    }
    log_queues();
    log_stats();
}

uint64_t JitterBuffer::discard_from_queue_by_seq(RetransmissionQueue& queue,
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

uint32_t JitterBuffer::find_min_sequence_in_queue(const RetransmissionQueue& queue) {
    // Descending order keeps the smallest number at the back.
    return queue.empty() ? UINT32_MAX : queue.back()->sequence_number;
}

JitterBuffer::RetransmissionQueue& JitterBuffer::queue_of(const FrameDecomposition& record) {
    if (record.has_unknown_parameters) return unknown_retransmission_queue_;
    return record.keyframe ? keyframe_retransmission_queue_ : incremental_retransmission_queue_;
}

bool JitterBuffer::reject_unforwardable(const video_fragment_info& info) {
    const std::optional<PendingIter> found = index_.find(info.sequence_number);
    // A frame sized by an earlier fragment keeps that size; only a new frame, or one known so
    // far only from a gap in the numbers, takes its size from this fragment.
    if (found && !(*found)->has_unknown_parameters) return false;
    if (last_unforwardable_sequence_ != info.sequence_number) {
        spdlog::error(
            "Frame with seq {} announces {} fragments, more than the {} a viewer can be sent",
            info.sequence_number, info.fragments_number, jitter::kMaxForwardableFragments);
        last_unforwardable_sequence_ = info.sequence_number;
        if (!found) {
            ++stats_.skipped_frames;
        } else if ((*found)->state == FrameState::waiting) {
            give_up(**found);
            std::erase(waiting_, *found);
        }
    }
    return true;
}

void JitterBuffer::count_held(FrameDecomposition& record) {
    uint64_t bytes = 0;
    if (!record.evicted && !record.complete()) {
        bytes = record.fragments.capacity() * sizeof(jitter::Fragment);
        if (record.buffer) bytes += uint64_t{record.frags_num} * jitter::kFragmentSlotSize;
    }
    held_bytes_ = held_bytes_ - record.held_bytes + bytes;
    record.held_bytes = bytes;
}

void JitterBuffer::keep_within_byte_limit(const FrameDecomposition& keep) {
    // Records are in arrival order: the first ones found are the oldest.
    for (auto it = pending_queue_.begin();
         held_bytes_ > max_incomplete_bytes_ && it != pending_queue_.end(); ++it) {
        if (&*it != &keep && it->held_bytes != 0) evict(*it);
    }
}

void JitterBuffer::evict(FrameDecomposition& record) {
    spdlog::debug("Giving up frame with seq {} to stay within {} bytes of incomplete frames",
                  record.sequence_number, max_incomplete_bytes_);
    if (record.state == FrameState::waiting) ++stats_.skipped_frames;
    record.state = FrameState::delayed;
    record.evicted = true;
    std::erase_if(queue_of(record), [&](PendingIter entry) { return &*entry == &record; });
    std::erase_if(waiting_, [&](PendingIter entry) { return &*entry == &record; });
    record.buffer.reset();
    std::vector<jitter::Fragment>().swap(record.fragments);
    std::vector<msgs::video::detection_item>().swap(record.detections);
    count_held(record);
}

JitterBuffer::PendingIter JitterBuffer::allocate_record() {
    if (spare_records_.empty()) {
        pending_queue_.emplace_back();
    } else {
        pending_queue_.splice(pending_queue_.end(), spare_records_, spare_records_.begin());
    }
    return std::prev(pending_queue_.end());
}

void JitterBuffer::recycle_record(PendingIter it) {
    held_bytes_ -= it->held_bytes;
    it->held_bytes = 0;
    it->evicted = false;
    if (spare_records_.size() >= jitter::kSpareRecords) {
        pending_queue_.erase(it);
        return;
    }
    // The frame buffer lives on only in the frames that share it.
    it->buffer.reset();
    it->detections.clear();
    spare_records_.splice(spare_records_.end(), pending_queue_, it);
}

QueueStats JitterBuffer::queue_stats() const {
    const QueueStats stats{
        .pending = pending_queue_.size(),
        .keyframe_queue = keyframe_retransmission_queue_.size(),
        .incremental_queue = incremental_retransmission_queue_.size(),
        .unknown_queue = unknown_retransmission_queue_.size(),
        .last_retransmits_count = last_retransmits_.size(),
        .output = output_queue_.size(),
        .last_sequence = last_sequence_.value_or(0),
        .last_control_sequence = last_control_sequence_,
        .last_shown_sequence = last_shown_sequence_,
    };
    return latency_budget_us_ ? waiting_queue_stats(stats) : stats;
}

// Lines are built only for an open log: the output is the same, and the hot path stays cheap.
void JitterBuffer::log_stats() {
    if (logger_.is_open()) logger_.log(stats_);
}

void JitterBuffer::log_queues() {
    if (logger_.is_open()) logger_.log(queue_stats());
}

}  // namespace kelvra
