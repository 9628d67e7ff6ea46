#pragma once

// The message catalogue of the video gateway. Field order is wire order.

#include <cstdint>

#include "kelvra/msgs/video/messgen.hpp"

namespace kelvra::msgs::video {

using messgen::Arena;
using messgen::Dynamic;
using messgen::Reader;
using messgen::Writer;

enum class VideoFormat : uint8_t { VP8 = 1, VP9 = 2 };

// A bounding box attached to a frame. 11 bytes on the wire, 12 in memory.
struct detection_item {
    static constexpr size_t WIRE_SIZE = 11;
    static constexpr messgen::Metadata METADATA{
        "detection_item", "uint16_t x;uint16_t y;uint16_t w;uint16_t h;uint16_t id;uint8_t type;",
        ""};

    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t w = 0;
    uint16_t h = 0;
    uint16_t id = 0;
    uint8_t type = 0;

    bool read(Reader& r) {
        return r.get(x) && r.get(y) && r.get(w) && r.get(h) && r.get(id) && r.get(type);
    }
    void write(Writer& wr) const {
        wr.put(x);
        wr.put(y);
        wr.put(w);
        wr.put(h);
        wr.put(id);
        wr.put(type);
    }
    bool operator==(const detection_item&) const = default;
};

namespace detail {
// Reads a uint32 count and that many whole detection items into the arena.
inline bool read_detections(Reader& r, Arena& arena, Dynamic<detection_item>& out) {
    uint32_t count = 0;
    if (!r.get(count)) return false;
    if (count > r.remaining() / detection_item::WIRE_SIZE) return false;
    auto* items = static_cast<detection_item*>(
        arena.allocate(size_t{count} * sizeof(detection_item), alignof(detection_item)));
    if (items == nullptr && count != 0) return false;
    for (uint32_t i = 0; i < count; ++i) {
        detection_item item;
        item.read(r);
        items[i] = item;
    }
    out = {items, count};
    return true;
}

inline void write_detections(Writer& w, const Dynamic<detection_item>& items) {
    w.put<uint32_t>(items.size);
    for (uint32_t i = 0; i < items.size; ++i) items.ptr[i].write(w);
}

inline void write_byte_array(Writer& w, const Dynamic<uint8_t>& bytes) {
    w.put<uint32_t>(bytes.size);
    w.put_bytes(bytes.ptr, bytes.size);
}
}  // namespace detail

struct detection_item_list : messgen::Message<detection_item_list> {
    static constexpr messgen::Metadata METADATA{"detection_item_list",
                                                "detection_item[] detections;", "detection_item"};

    Dynamic<detection_item> detections;

    size_t payload_size() const { return 4 + detection_item::WIRE_SIZE * size_t{detections.size}; }
    void write_payload(Writer& w) const { detail::write_detections(w, detections); }
    bool read_payload(Reader& r, Arena& a) { return detail::read_detections(r, a, detections); }
};

struct session_response : messgen::Message<session_response> {
    static constexpr uint8_t TYPE = 1;
    static constexpr messgen::Metadata METADATA{
        "session_response",
        "uint32_t manet_addr;uint32_t consumer_id;uint8_t camera_type;int8_t result;string status;",
        ""};

    uint32_t manet_addr = 0;
    uint32_t consumer_id = 0;
    uint8_t camera_type = 0;
    int8_t result = 0;
    const char* status = nullptr;

    size_t payload_size() const { return 14 + messgen::string_length(status); }
    void write_payload(Writer& w) const {
        w.put(manet_addr);
        w.put(consumer_id);
        w.put(camera_type);
        w.put(result);
        messgen::write_string(w, status);
    }
    bool read_payload(Reader& r, Arena& a) {
        return r.get(manet_addr) && r.get(consumer_id) && r.get(camera_type) && r.get(result) &&
               messgen::read_string(r, a, status);
    }
};

struct session_msg : messgen::Message<session_msg> {
    static constexpr uint8_t TYPE = 3;
    static constexpr messgen::Metadata METADATA{
        "session_msg",
        "uint32_t manet_addr;uint32_t consumer_id;uint8_t camera_type;uint8_t[] peer_msg;", ""};

    uint32_t manet_addr = 0;
    uint32_t consumer_id = 0;
    uint8_t camera_type = 0;
    Dynamic<uint8_t> peer_msg;

    size_t payload_size() const { return 13 + size_t{peer_msg.size}; }
    void write_payload(Writer& w) const {
        w.put(manet_addr);
        w.put(consumer_id);
        w.put(camera_type);
        detail::write_byte_array(w, peer_msg);
    }
    bool read_payload(Reader& r, Arena& a) {
        return r.get(manet_addr) && r.get(consumer_id) && r.get(camera_type) &&
               messgen::read_bytes(r, a, peer_msg);
    }
};

struct video_fragment_info : messgen::Message<video_fragment_info> {
    static constexpr uint8_t TYPE = 4;
    static constexpr size_t PAYLOAD_SIZE = 9;
    static constexpr messgen::Metadata METADATA{
        "video_fragment_info",
        "uint32_t sequence_number;uint16_t fragment_id;uint16_t fragments_number;uint8_t type;",
        ""};

    // Bits of `type`.
    static constexpr uint8_t KEYFRAME = 1;
    static constexpr uint8_t DETECTIONS_FRAGMENT = 2;
    static constexpr uint8_t HAS_DETECTIONS = 4;

    uint32_t sequence_number = 0;
    uint16_t fragment_id = 0;
    uint16_t fragments_number = 0;
    uint8_t type = 0;

    size_t payload_size() const { return PAYLOAD_SIZE; }
    void write_payload(Writer& w) const {
        w.put(sequence_number);
        w.put(fragment_id);
        w.put(fragments_number);
        w.put(type);
    }
    bool read_payload(Reader& r, Arena&) {
        return r.get(sequence_number) && r.get(fragment_id) && r.get(fragments_number) &&
               r.get(type);
    }
};

struct session_request : messgen::Message<session_request> {
    static constexpr uint8_t TYPE = 6;
    static constexpr messgen::Metadata METADATA{
        "session_request", "uint32_t manet_addr;uint32_t consumer_id;uint8_t camera_type;", ""};

    uint32_t manet_addr = 0;
    uint32_t consumer_id = 0;
    uint8_t camera_type = 0;

    size_t payload_size() const { return 9; }
    void write_payload(Writer& w) const {
        w.put(manet_addr);
        w.put(consumer_id);
        w.put(camera_type);
    }
    bool read_payload(Reader& r, Arena&) {
        return r.get(manet_addr) && r.get(consumer_id) && r.get(camera_type);
    }
};

struct ice_message : messgen::Message<ice_message> {
    static constexpr uint8_t TYPE = 7;
    static constexpr messgen::Metadata METADATA{"ice_message",
                                                "uint32_t m_line_idx;string candidate;", ""};

    uint32_t m_line_idx = 0;
    const char* candidate = nullptr;

    size_t payload_size() const { return 8 + messgen::string_length(candidate); }
    void write_payload(Writer& w) const {
        w.put(m_line_idx);
        messgen::write_string(w, candidate);
    }
    bool read_payload(Reader& r, Arena& a) {
        return r.get(m_line_idx) && messgen::read_string(r, a, candidate);
    }
};

struct sdp_message : messgen::Message<sdp_message> {
    static constexpr uint8_t TYPE = 8;
    static constexpr messgen::Metadata METADATA{"sdp_message", "string sdp;string type;", ""};

    const char* sdp = nullptr;
    const char* type = nullptr;

    size_t payload_size() const {
        return 8 + messgen::string_length(sdp) + messgen::string_length(type);
    }
    void write_payload(Writer& w) const {
        messgen::write_string(w, sdp);
        messgen::write_string(w, type);
    }
    bool read_payload(Reader& r, Arena& a) {
        return messgen::read_string(r, a, sdp) && messgen::read_string(r, a, type);
    }
};

struct terminate_session : messgen::Message<terminate_session> {
    static constexpr uint8_t TYPE = 9;
    static constexpr messgen::Metadata METADATA{"terminate_session",
                                                "uint32_t consumer_id;uint8_t camera_type;", ""};

    uint32_t consumer_id = 0;
    uint8_t camera_type = 0;

    size_t payload_size() const { return 5; }
    void write_payload(Writer& w) const {
        w.put(consumer_id);
        w.put(camera_type);
    }
    bool read_payload(Reader& r, Arena&) { return r.get(consumer_id) && r.get(camera_type); }
};

struct video_frame : messgen::Message<video_frame> {
    static constexpr uint8_t TYPE = 10;
    static constexpr messgen::Metadata METADATA{
        "video_frame",
        "uint8_t keyframe;uint8_t video_format;detection_item[] detections;uint8_t[] payload;",
        "detection_item"};

    uint8_t keyframe = 0;
    uint8_t video_format = 0;
    Dynamic<detection_item> detections;
    Dynamic<uint8_t> payload;

    size_t payload_size() const {
        return 10 + detection_item::WIRE_SIZE * size_t{detections.size} + size_t{payload.size};
    }
    void write_payload(Writer& w) const {
        w.put(keyframe);
        w.put(video_format);
        detail::write_detections(w, detections);
        detail::write_byte_array(w, payload);
    }
    bool read_payload(Reader& r, Arena& a) {
        return r.get(keyframe) && r.get(video_format) &&
               detail::read_detections(r, a, detections) && messgen::read_bytes(r, a, payload);
    }
};

struct video_stats : messgen::Message<video_stats> {
    static constexpr uint8_t TYPE = 11;
    static constexpr messgen::Metadata METADATA{
        "video_stats", "uint32_t missing_frames;uint32_t sequence_number;uint32_t fragment_id;",
        ""};

    uint32_t missing_frames = 0;
    uint32_t sequence_number = 0;
    uint32_t fragment_id = 0;

    size_t payload_size() const { return 12; }
    void write_payload(Writer& w) const {
        w.put(missing_frames);
        w.put(sequence_number);
        w.put(fragment_id);
    }
    bool read_payload(Reader& r, Arena&) {
        return r.get(missing_frames) && r.get(sequence_number) && r.get(fragment_id);
    }
};

struct video_retransmit_request : messgen::Message<video_retransmit_request> {
    static constexpr uint8_t TYPE = 12;
    static constexpr messgen::Metadata METADATA{
        "video_retransmit_request", "uint32_t sequence_number;uint32_t fragment_id;", ""};

    uint32_t sequence_number = 0;
    uint32_t fragment_id = 0;

    size_t payload_size() const { return 8; }
    void write_payload(Writer& w) const {
        w.put(sequence_number);
        w.put(fragment_id);
    }
    bool read_payload(Reader& r, Arena&) { return r.get(sequence_number) && r.get(fragment_id); }
    bool operator==(const video_retransmit_request& o) const {
        return sequence_number == o.sequence_number && fragment_id == o.fragment_id;
    }
};

struct control_data : messgen::Message<control_data> {
    static constexpr uint8_t TYPE = 13;
    static constexpr size_t PAYLOAD_SIZE = 21;
    static constexpr messgen::Metadata METADATA{
        "control_data",
        "uint32_t sequence_number;uint32_t minimal_roundtrip;uint32_t maximum_roundtrip;"
        "int32_t flight_id;uint32_t bitrate_est;uint8_t video_format;",
        ""};

    uint32_t sequence_number = 0;
    uint32_t minimal_roundtrip = 0;
    uint32_t maximum_roundtrip = 0;
    int32_t flight_id = -1;
    uint32_t bitrate_est = 0;
    uint8_t video_format = 0;

    size_t payload_size() const { return PAYLOAD_SIZE; }
    void write_payload(Writer& w) const {
        w.put(sequence_number);
        w.put(minimal_roundtrip);
        w.put(maximum_roundtrip);
        w.put(flight_id);
        w.put(bitrate_est);
        w.put(video_format);
    }
    bool read_payload(Reader& r, Arena&) {
        return r.get(sequence_number) && r.get(minimal_roundtrip) && r.get(maximum_roundtrip) &&
               r.get(flight_id) && r.get(bitrate_est) && r.get(video_format);
    }
};

struct stream_state : messgen::Message<stream_state> {
    static constexpr uint8_t TYPE = 14;
    static constexpr messgen::Metadata METADATA{
        "stream_state",
        "uint32_t manet_addr;uint32_t min_roundtrip;uint32_t max_roundtrip;uint32_t lost_frames;"
        "uint32_t delayed_frames;uint32_t broken_frames;uint32_t retransmissions_number;"
        "uint32_t duplicates_number;uint32_t bitrate_est;uint8_t camera_type;"
        "uint8_t video_available;",
        ""};

    uint32_t manet_addr = 0;
    uint32_t min_roundtrip = 0;
    uint32_t max_roundtrip = 0;
    uint32_t lost_frames = 0;
    uint32_t delayed_frames = 0;
    uint32_t broken_frames = 0;
    uint32_t retransmissions_number = 0;
    uint32_t duplicates_number = 0;
    uint32_t bitrate_est = 0;
    uint8_t camera_type = 0;
    uint8_t video_available = 0;

    size_t payload_size() const { return 38; }
    void write_payload(Writer& w) const {
        w.put(manet_addr);
        w.put(min_roundtrip);
        w.put(max_roundtrip);
        w.put(lost_frames);
        w.put(delayed_frames);
        w.put(broken_frames);
        w.put(retransmissions_number);
        w.put(duplicates_number);
        w.put(bitrate_est);
        w.put(camera_type);
        w.put(video_available);
    }
    bool read_payload(Reader& r, Arena&) {
        return r.get(manet_addr) && r.get(min_roundtrip) && r.get(max_roundtrip) &&
               r.get(lost_frames) && r.get(delayed_frames) && r.get(broken_frames) &&
               r.get(retransmissions_number) && r.get(duplicates_number) && r.get(bitrate_est) &&
               r.get(camera_type) && r.get(video_available);
    }
};

struct set_stream : messgen::Message<set_stream> {
    static constexpr uint8_t TYPE = 15;
    static constexpr messgen::Metadata METADATA{
        "set_stream", "uint32_t manet_addr;uint8_t enabled;uint8_t camera_type;uint8_t[16] key;",
        ""};

    uint32_t manet_addr = 0;
    uint8_t enabled = 0;
    uint8_t camera_type = 0;
    uint8_t key[16] = {};

    size_t payload_size() const { return 22; }
    void write_payload(Writer& w) const {
        w.put(manet_addr);
        w.put(enabled);
        w.put(camera_type);
        w.put_bytes(key, sizeof(key));
    }
    bool read_payload(Reader& r, Arena&) {
        return r.get(manet_addr) && r.get(enabled) && r.get(camera_type) &&
               r.get_bytes(key, sizeof(key));
    }
};

}  // namespace kelvra::msgs::video
