#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace kelvra::norvane::jitter {

// Video bytes carried by every fragment of a frame except the last video fragment; fragment i
// lands at offset i * kFragmentSlotSize of the frame buffer.
constexpr uint64_t kFragmentSlotSize = 1400;  // bytes

// Bounds of the retransmission queues: the entry with the highest frame number is dropped when
// an insertion exceeds them.
constexpr size_t kKeyframeQueueLimit = 14;     // entries
constexpr size_t kIncrementalQueueLimit = 19;  // entries

// Sizes at which a queue that has no hard limit reports itself.
constexpr uint64_t kQueueWarningSize = 10000;  // entries

constexpr int64_t kRecordLifetimeUs = 15'000'000;
constexpr int64_t kFrameWaitFactor = 3;        // times max_roundtrip
constexpr int64_t kMaxFrameWaitUs = 300'000;   // cap of the wait for an older delta frame
constexpr int64_t kRequestIntervalFactor = 2;  // times min_roundtrip
constexpr int64_t kRetransmitBudgetWindowUs = 1'000'000;

// request_time of a fragment that has arrived: it is never due again.
constexpr int64_t kReceivedRequestTime = std::numeric_limits<int64_t>::max();

// Detections are decoded in a 1500-byte scratch area at 12 bytes per item.
constexpr uint32_t kMaxDetections = 1500 / 12;  // items

// Records of purged frames kept for reuse, so that steady streams allocate no bookkeeping.
constexpr size_t kSpareRecords = 64;

}  // namespace kelvra::norvane::jitter
