// Fragment assembly, restart detection, reset, the records and the jitter log of JitterBuffer.

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
      rules_(rules_for(options)) {
    output_queue_.reserve(64);
}

JitterBuffer::Rules JitterBuffer::rules_for(const JitterBufferOptions& options) {
    if (options.latency_budget_us) return jitter::LatencyBudgetRules(*options.latency_budget_us);
    return jitter::RoundtripRules();
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
    with_rules([&](auto& rules) { rules.on_fragment(*this, *it, info, now); });
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
    with_rules([](auto& rules) { rules.reset(); });
    stats_ = {};
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
    if (const std::optional<PendingIter> found = index_.find(info.sequence_number)) return *found;

    if (pending_queue_.size() == jitter::kQueueWarningSize) {
        spdlog::error("pending queue overflow {}", jitter::kQueueWarningSize);
    }
    const std::optional<uint32_t> previous = last_sequence_;
    push_fragment_check_gap(info);
    if (previous && last_sequence_ == info.sequence_number) {
        with_rules([&](auto& rules) {
            rules.on_frames_skipped(*this, *previous + 1, info.sequence_number, now);
        });
    }
    const PendingIter it = create_record(info, now);
    keep_within_byte_limit(*it);
    with_rules([&](auto& rules) { rules.on_new_record(*this, it, now); });
    log_queues();
    return it;
}

JitterBuffer::PendingIter JitterBuffer::create_record(const video_fragment_info& info,
                                                      int64_t now) {
    const PendingIter it = allocate_record();
    update_frame_dec(*it, info, now);
    index_.insert(info.sequence_number, it);
    count_held(*it);
    return it;
}

void JitterBuffer::push_fragment_check_gap(const video_fragment_info& info) {
    if (last_sequence_ && info.sequence_number < *last_sequence_) {
        spdlog::warn("Stream restart detected! Got sequence {} < {}. Resetting!",
                     info.sequence_number, *last_sequence_);
        reset();
        ++restarts_;
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
    const bool given_up =
        with_rules([&](const auto& rules) { return rules.given_up_for_good(*it); });
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
    with_rules([&](auto& rules) { rules.on_completed(*this, frame, it); });
    output_queue_.push_back(std::move(frame));
    std::push_heap(output_queue_.begin(), output_queue_.end(), OutputHeapComp{});
    if (output_queue_.size() == jitter::kQueueWarningSize) {
        spdlog::error("output queue overflow {}", jitter::kQueueWarningSize);
    }
}

void JitterBuffer::drop_completed_record(PendingIter it) {
    it->state = FrameState::delayed;
    // A complete record has nothing left to request; still waited for, it would hold back
    // newer frames.
    with_rules([&](auto& rules) { rules.forget(it); });
}

bool JitterBuffer::already_released_or_queued(uint32_t sequence_number) const {
    if (shown_since_reset_ && sequence_number == last_shown_sequence_) return true;
    return std::any_of(output_queue_.begin(), output_queue_.end(), [&](const Frame& queued) {
        return queued.sequence_number == sequence_number;
    });
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
            with_rules([&](auto& rules) { rules.forget(*found); });
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
        if (&*it != &keep && it->held_bytes != 0) evict(it);
    }
}

void JitterBuffer::evict(PendingIter it) {
    FrameDecomposition& record = *it;
    spdlog::debug("Giving up frame with seq {} to stay within {} bytes of incomplete frames",
                  record.sequence_number, max_incomplete_bytes_);
    if (record.state == FrameState::waiting) ++stats_.skipped_frames;
    record.state = FrameState::delayed;
    record.evicted = true;
    with_rules([&](auto& rules) { rules.forget(it); });
    record.buffer.reset();
    std::vector<jitter::Fragment>().swap(record.fragments);
    std::vector<msgs::video::detection_item>().swap(record.detections);
    count_held(record);
}

void JitterBuffer::give_up(FrameDecomposition& record) {
    spdlog::trace("Giving up frame with seq {}, frags_num: {}, frags_recv: {}",
                  record.sequence_number, record.frags_num, record.frags_recv);
    record.state = FrameState::delayed;
    ++stats_.skipped_frames;
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
    QueueStats stats{
        .pending = pending_queue_.size(),
        .last_retransmits_count = last_retransmits_.size(),
        .output = output_queue_.size(),
        .last_sequence = last_sequence_.value_or(0),
        .last_control_sequence = last_control_sequence_,
        .last_shown_sequence = last_shown_sequence_,
    };
    with_rules([&](const auto& rules) { rules.count_queues(stats); });
    return stats;
}

// Lines are built only for an open log: the output is the same, and the hot path stays cheap.
void JitterBuffer::log_stats() {
    if (logger_.is_open()) logger_.log(stats_);
}

void JitterBuffer::log_queues() {
    if (logger_.is_open()) logger_.log(queue_stats());
}

}  // namespace kelvra
