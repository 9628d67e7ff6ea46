#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/norvane/jitter/fragment.hpp"

namespace kelvra::norvane::jitter {

// Values of FrameDecomposition::state.
struct FrameState {
    static constexpr uint8_t waiting = 0;  // neither released nor given up
    static constexpr uint8_t queued = 1;   // completed and put into the output queue
    static constexpr uint8_t delayed = 2;  // given up, or completed too late to be shown
};

// Bookkeeping of one frame number from its first fragment until it is purged.
struct FrameDecomposition {
    int64_t first_fragment_time = 0;
    uint32_t sequence_number = 0;
    uint16_t frags_recv = 0;
    uint16_t frags_num = 0;  // as announced by the first fragment seen; never changed later
    uint16_t highest_fragment_id = 0;  // of those that arrived
    std::vector<Fragment> fragments;
    bool keyframe = false;
    bool has_detections = false;
    // A frame known only from the gap it left in the frame numbers: nothing of it has arrived.
    bool has_unknown_parameters = false;
    uint8_t state = FrameState::waiting;
    // Given up to keep the stream within its byte limit: its storage is gone, and whatever of it
    // still arrives is ignored.
    bool evicted = false;
    // Bytes of this record counted against the stream's limit.
    uint64_t held_bytes = 0;
    // frags_num slots, allocated at the first stored fragment; handed to the Frame at completion.
    std::shared_ptr<uint8_t[]> buffer;
    uint64_t last_fragment_size = 0;
    std::vector<msgs::video::detection_item> detections;
    uint8_t video_format = 0;  // announced with the first fragment stored

    // The detections fragment, when the frame has one, is the last fragment.
    bool is_detections_slot(uint32_t index) const {
        return has_detections && index + 1 == frags_num;
    }
    bool is_last_video_slot(uint32_t index) const {
        return index + 1 + (has_detections ? 1u : 0u) == frags_num;
    }
    uint32_t video_slots() const { return has_detections ? frags_num - 1u : frags_num; }
    bool complete() const {
        return !has_unknown_parameters && frags_num != 0 && frags_recv == frags_num;
    }
};

// The records of a stream in order of creation. Iterators into it stay valid while other records
// come and go, so the queues of the release rules hold them.
using PendingQueue = std::list<FrameDecomposition>;
using PendingIter = PendingQueue::iterator;

}  // namespace kelvra::norvane::jitter
