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

// The forwarding buffer holds 10 485 760 bytes: a frame of more fragments than this, with its
// message header and detections, could never reach a viewer.
constexpr uint32_t kMaxForwardableFragments = 7480;  // fragments
// Bytes one stream may hold for frames not yet complete, unless configured otherwise.
constexpr uint64_t kDefaultMaxIncompleteBytes = 64ull << 20;

// Records of purged frames kept for reuse, so that steady streams allocate no bookkeeping.
constexpr size_t kSpareRecords = 64;

// The latency-budget rules.
// A fragment counts as missing this long after a later one arrived: what a reordering link
// delivers late is not asked for.
constexpr int64_t kReorderAllowanceUs = 5'000;
// An unanswered request is repeated with one more copy each time, up to this many: the request
// or its resend was lost once, and the budget may leave no time for another round trip.
constexpr uint8_t kMaxRequestCopies = 3;
// A jump in frame numbers up to this long is taken for frames lost whole and asked for; a longer
// one is the sender renumbering and is not waited for.
constexpr uint32_t kMaxGapFrames = 64;  // frames
// Frames waiting at once; past it the oldest is given up, whatever a sender announces.
constexpr size_t kMaxWaitingFrames = 1024;
// Requests per second and stream: the base budget plus one per fragment received in the last
// second, so that a stream's budget follows its rate, but never more than this.
constexpr uint64_t kMaxRequestsPerSecond = 10'000;
// Round trip assumed while neither the sender nor a resend has told one.
constexpr int64_t kDefaultRoundtripUs = 100'000;
// request_time of a fragment nobody has yet seen missing.
constexpr int64_t kNotNoticedTime = std::numeric_limits<int64_t>::min();

}  // namespace kelvra::norvane::jitter
