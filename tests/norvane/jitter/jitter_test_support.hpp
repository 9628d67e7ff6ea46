#pragma once

// Fragment streams for the jitter buffer tests.

#include <gtest/gtest.h>

#include <array>

#include "kelvra/norvane/jitter/jitter_buffer.hpp"
#include "support/log_capture.hpp"

namespace kelvra::norvane::jitter::testing {

using msgs::video::detection_item;
using Items = std::vector<detection_item>;
using Bytes = std::vector<uint8_t>;
using Numbers = std::vector<uint32_t>;
constexpr uint8_t kKey = 1, kDetectionsFragment = 2, kHasDetections = 4;

inline Bytes pattern(uint64_t size, uint32_t seed) {
    Bytes bytes(size);
    for (uint64_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed * 131 + i * 7 + i / 251);
    return bytes;
}

inline Bytes detections_payload(uint32_t count, const Items& items) {
    Bytes out(4 + items.size() * detection_item::WIRE_SIZE);
    messgen::store_le<uint32_t>(out.data(), count);
    messgen::Writer writer(out.data() + 4);
    for (const detection_item& item : items) item.write(writer);
    return out;
}

inline void push_raw(JitterBuffer& buffer, uint32_t seq, uint16_t id, uint16_t count, uint8_t type,
                     const Bytes& data) {
    msgs::video::video_fragment_info info;
    info.sequence_number = seq;
    info.fragment_id = id;
    info.fragments_number = count;
    info.type = type;
    buffer.push_fragment(info, {data.data(), data.size()});
}

// One frame as a sender cuts it: 1400-byte fragments, then the detections fragment if any.
struct SentFrame {
    uint32_t seq;
    bool keyframe;
    Bytes bytes;
    std::optional<Items> detections;

    SentFrame(uint32_t s, uint64_t size, bool key = false, std::optional<Items> items = {})
        : seq(s), keyframe(key), bytes(pattern(size, s)), detections(std::move(items)) {}
    uint16_t video_fragments() const { return static_cast<uint16_t>((bytes.size() + 1399) / 1400); }
    uint16_t fragments() const { return video_fragments() + (detections ? 1 : 0); }
    void push(JitterBuffer& buffer, uint16_t id) const {
        const uint8_t type = (keyframe ? kKey : 0) | (detections ? kHasDetections : 0);
        if (id >= video_fragments()) {
            push_raw(buffer, seq, id, fragments(), type | kDetectionsFragment,
                     detections_payload(static_cast<uint32_t>(detections->size()), *detections));
            return;
        }
        const auto begin = bytes.begin() + id * 1400;
        push_raw(buffer, seq, id, fragments(), type,
                 Bytes(begin, std::min(begin + 1400, bytes.end())));
    }
    void push_all(JitterBuffer& buffer) const {
        for (uint16_t id = 0; id < fragments(); ++id) push(buffer, id);
    }
};

inline msgs::video::control_data control(uint32_t seq, uint32_t min_rt, uint32_t max_rt) {
    msgs::video::control_data c;
    c.sequence_number = seq;
    c.minimal_roundtrip = min_rt;
    c.maximum_roundtrip = max_rt;
    return c;
}

using Requests = std::vector<msgs::video::video_retransmit_request>;

// Requests for the fragments first..last of each listed frame, in that order.
inline Requests fragments_of(std::initializer_list<std::array<uint32_t, 3>> ranges) {
    Requests out;
    for (const auto& [seq, first, last] : ranges) {
        for (uint32_t id = first; id <= last; ++id) out.push_back({{}, seq, id});
    }
    return out;
}

inline Bytes frame_bytes(const Frame& frame) {
    return {frame.data.get(), frame.data.get() + frame.size};
}

inline Numbers numbers(const std::vector<Frame>& frames) {
    Numbers out;
    for (const Frame& f : frames) out.push_back(f.sequence_number);
    return out;
}

using kelvra::testing::LogCapture;

struct JitterTest : ::testing::Test {
    explicit JitterTest(const JitterBufferOptions& options = {})
        : buffer{JitterBufferLogger{}, clock, options} {}
    ManualClock clock;
    JitterBuffer buffer;
    LogCapture log;
    Numbers show() { return numbers(buffer.get_frames_to_show()); }
};

}  // namespace kelvra::norvane::jitter::testing
