#pragma once

// Builders of fragment streams and a capture of the default logger for the jitter buffer tests.

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/norvane/jitter/jitter_buffer.hpp"

namespace kelvra::norvane::jitter::testing {

using msgs::video::detection_item;
using msgs::video::video_fragment_info;

constexpr uint8_t kKey = video_fragment_info::KEYFRAME;
constexpr uint8_t kDetectionsFragment = video_fragment_info::DETECTIONS_FRAGMENT;
constexpr uint8_t kHasDetections = video_fragment_info::HAS_DETECTIONS;

inline std::vector<uint8_t> pattern(uint64_t size, uint32_t seed) {
    std::vector<uint8_t> bytes(size);
    for (uint64_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed * 131 + i * 7 + i / 251);
    return bytes;
}

inline std::vector<uint8_t> detections_payload(uint32_t count,
                                               const std::vector<detection_item>& items) {
    std::vector<uint8_t> out(4 + items.size() * detection_item::WIRE_SIZE);
    messgen::store_le<uint32_t>(out.data(), count);
    messgen::Writer writer(out.data() + 4);
    for (const detection_item& item : items) item.write(writer);
    return out;
}

// One frame as a sender cuts it: 1400-byte fragments, then the detections fragment if any.
struct SentFrame {
    uint32_t seq = 0;
    bool keyframe = false;
    std::vector<uint8_t> bytes;
    std::vector<detection_item> detections;
    bool with_detections = false;

    SentFrame(uint32_t s, uint64_t size, bool key = false) : seq(s), keyframe(key) {
        bytes = pattern(size, s);
    }
    SentFrame& attach(std::vector<detection_item> items) {
        detections = std::move(items);
        with_detections = true;
        return *this;
    }
    uint16_t video_fragments() const {
        return static_cast<uint16_t>(bytes.empty() ? 1 : (bytes.size() + 1399) / 1400);
    }
    uint16_t fragments() const { return video_fragments() + (with_detections ? 1 : 0); }
    video_fragment_info info(uint16_t id) const {
        video_fragment_info info;
        info.sequence_number = seq;
        info.fragment_id = id;
        info.fragments_number = fragments();
        info.type =
            static_cast<uint8_t>((keyframe ? kKey : 0) | (with_detections ? kHasDetections : 0));
        if (with_detections && id + 1 == fragments()) info.type |= kDetectionsFragment;
        return info;
    }
    std::vector<uint8_t> payload(uint16_t id) const {
        if (id >= video_fragments()) {
            return detections_payload(static_cast<uint32_t>(detections.size()), detections);
        }
        const uint64_t begin = uint64_t{id} * 1400;
        const uint64_t end = std::min<uint64_t>(begin + 1400, bytes.size());
        return {bytes.begin() + static_cast<int64_t>(begin),
                bytes.begin() + static_cast<int64_t>(end)};
    }
    void push(JitterBuffer& buffer, uint16_t id) const {
        const std::vector<uint8_t> data = payload(id);
        buffer.push_fragment(info(id), {data.data(), data.size()});
    }
    void push_all(JitterBuffer& buffer) const {
        for (uint16_t id = 0; id < fragments(); ++id) push(buffer, id);
    }
    // All fragments but `missing`.
    void push_except(JitterBuffer& buffer, uint16_t missing) const {
        for (uint16_t id = 0; id < fragments(); ++id) {
            if (id != missing) push(buffer, id);
        }
    }
};

inline void push_raw(JitterBuffer& buffer, uint32_t seq, uint16_t id, uint16_t count, uint8_t type,
                     const std::vector<uint8_t>& data) {
    video_fragment_info info;
    info.sequence_number = seq;
    info.fragment_id = id;
    info.fragments_number = count;
    info.type = type;
    buffer.push_fragment(info, {data.data(), data.size()});
}

inline msgs::video::control_data control(uint32_t seq, uint32_t min_rt, uint32_t max_rt) {
    msgs::video::control_data c;
    c.sequence_number = seq;
    c.minimal_roundtrip = min_rt;
    c.maximum_roundtrip = max_rt;
    return c;
}

inline std::vector<uint8_t> frame_bytes(const Frame& frame) {
    return {frame.data.get(), frame.data.get() + frame.size};
}

inline std::vector<uint32_t> numbers(const std::vector<Frame>& frames) {
    std::vector<uint32_t> out;
    for (const Frame& f : frames) out.push_back(f.sequence_number);
    return out;
}

// Routes the default logger into a string, at trace level, for the lifetime of the capture.
class LogCapture {
public:
    LogCapture() : previous_(spdlog::default_logger()) {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(out_);
        auto logger = std::make_shared<spdlog::logger>("jitter-test", std::move(sink));
        logger->set_pattern("%l: %v");
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(std::move(logger));
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const { return out_.str(); }
    // Number of lines equal to `line` (level, colon, message).
    int count(const std::string& line) const {
        std::istringstream in(out_.str());
        int n = 0;
        for (std::string l; std::getline(in, l);) n += l == line ? 1 : 0;
        return n;
    }
    bool has(const std::string& line) const { return count(line) > 0; }
    void clear() { out_.str({}); }

private:
    std::shared_ptr<spdlog::logger> previous_;
    std::ostringstream out_;
};

}  // namespace kelvra::norvane::jitter::testing
