#pragma once

// The message catalogue of the video gateway. Each message lists its fields once, in wire order;
// sizes, parsing, serialization and the schema text follow from that list (messgen_fields.hpp).

#include <cstdint>

#include "kelvra/msgs/video/messgen_fields.hpp"

namespace kelvra::msgs::video {

using messgen::Arena;
using messgen::Dynamic;
using messgen::Reader;
using messgen::Writer;

enum class VideoFormat : uint8_t { VP8 = 1, VP9 = 2 };

// A bounding box attached to a frame. 11 bytes on the wire, 12 in memory.
struct detection_item {
    using Self = detection_item;
    static constexpr const char* NAME = "detection_item";
    static const size_t WIRE_SIZE;
    static const messgen::Metadata METADATA;
    uint16_t x = 0;
    uint16_t y = 0;
    uint16_t w = 0;
    uint16_t h = 0;
    uint16_t id = 0;
    uint8_t type = 0;
    KELVRA_MESSGEN_FIELDS(x, y, w, h, id, type)

    bool read(Reader& r) {
        Arena no_arena(nullptr, 0);  // fixed fields only
        return messgen::read_fields(r, no_arena, *this);
    }
    void write(Writer& wr) const { messgen::write_fields(wr, *this); }
    bool operator==(const detection_item&) const = default;
};
inline constexpr size_t detection_item::WIRE_SIZE = messgen::wire_size<detection_item>();
inline constexpr messgen::Metadata detection_item::METADATA =
    messgen::metadata_of<detection_item>();

struct detection_item_list : messgen::Message<detection_item_list> {
    static constexpr const char* NAME = "detection_item_list";
    Dynamic<detection_item> detections;
    KELVRA_MESSGEN_FIELDS(detections)
};

struct session_response : messgen::Message<session_response> {
    static constexpr uint8_t TYPE = 1;
    static constexpr const char* NAME = "session_response";
    uint32_t manet_addr = 0;
    uint32_t consumer_id = 0;
    uint8_t camera_type = 0;
    int8_t result = 0;
    const char* status = nullptr;
    KELVRA_MESSGEN_FIELDS(manet_addr, consumer_id, camera_type, result, status)
};

struct session_msg : messgen::Message<session_msg> {
    static constexpr uint8_t TYPE = 3;
    static constexpr const char* NAME = "session_msg";
    uint32_t manet_addr = 0;
    uint32_t consumer_id = 0;
    uint8_t camera_type = 0;
    Dynamic<uint8_t> peer_msg;
    KELVRA_MESSGEN_FIELDS(manet_addr, consumer_id, camera_type, peer_msg)
};

struct video_fragment_info : messgen::Message<video_fragment_info> {
    static constexpr uint8_t TYPE = 4;
    static constexpr const char* NAME = "video_fragment_info";
    // Bits of `type`.
    static constexpr uint8_t KEYFRAME = 1;
    static constexpr uint8_t DETECTIONS_FRAGMENT = 2;
    static constexpr uint8_t HAS_DETECTIONS = 4;

    uint32_t sequence_number = 0;
    uint16_t fragment_id = 0;
    uint16_t fragments_number = 0;
    uint8_t type = 0;
    KELVRA_MESSGEN_FIELDS(sequence_number, fragment_id, fragments_number, type)
};

struct session_request : messgen::Message<session_request> {
    static constexpr uint8_t TYPE = 6;
    static constexpr const char* NAME = "session_request";
    uint32_t manet_addr = 0;
    uint32_t consumer_id = 0;
    uint8_t camera_type = 0;
    KELVRA_MESSGEN_FIELDS(manet_addr, consumer_id, camera_type)
};

struct ice_message : messgen::Message<ice_message> {
    static constexpr uint8_t TYPE = 7;
    static constexpr const char* NAME = "ice_message";
    uint32_t m_line_idx = 0;
    const char* candidate = nullptr;
    KELVRA_MESSGEN_FIELDS(m_line_idx, candidate)
};

struct sdp_message : messgen::Message<sdp_message> {
    static constexpr uint8_t TYPE = 8;
    static constexpr const char* NAME = "sdp_message";
    const char* sdp = nullptr;
    const char* type = nullptr;
    KELVRA_MESSGEN_FIELDS(sdp, type)
};

struct terminate_session : messgen::Message<terminate_session> {
    static constexpr uint8_t TYPE = 9;
    static constexpr const char* NAME = "terminate_session";
    uint32_t consumer_id = 0;
    uint8_t camera_type = 0;
    KELVRA_MESSGEN_FIELDS(consumer_id, camera_type)
};

struct video_frame : messgen::Message<video_frame> {
    static constexpr uint8_t TYPE = 10;
    static constexpr const char* NAME = "video_frame";
    uint8_t keyframe = 0;
    uint8_t video_format = 0;
    Dynamic<detection_item> detections;
    Dynamic<uint8_t> payload;
    KELVRA_MESSGEN_FIELDS(keyframe, video_format, detections, payload)
};

struct video_stats : messgen::Message<video_stats> {
    static constexpr uint8_t TYPE = 11;
    static constexpr const char* NAME = "video_stats";
    uint32_t missing_frames = 0;
    uint32_t sequence_number = 0;
    uint32_t fragment_id = 0;
    KELVRA_MESSGEN_FIELDS(missing_frames, sequence_number, fragment_id)
};

struct video_retransmit_request : messgen::Message<video_retransmit_request> {
    static constexpr uint8_t TYPE = 12;
    static constexpr const char* NAME = "video_retransmit_request";
    uint32_t sequence_number = 0;
    uint32_t fragment_id = 0;
    KELVRA_MESSGEN_FIELDS(sequence_number, fragment_id)
    bool operator==(const video_retransmit_request& o) const {
        return sequence_number == o.sequence_number && fragment_id == o.fragment_id;
    }
};

struct control_data : messgen::Message<control_data> {
    static constexpr uint8_t TYPE = 13;
    static constexpr const char* NAME = "control_data";
    uint32_t sequence_number = 0;
    uint32_t minimal_roundtrip = 0;
    uint32_t maximum_roundtrip = 0;
    int32_t flight_id = -1;
    uint32_t bitrate_est = 0;
    uint8_t video_format = 0;
    KELVRA_MESSGEN_FIELDS(sequence_number, minimal_roundtrip, maximum_roundtrip, flight_id,
                          bitrate_est, video_format)
};

struct stream_state : messgen::Message<stream_state> {
    static constexpr uint8_t TYPE = 14;
    static constexpr const char* NAME = "stream_state";
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
    KELVRA_MESSGEN_FIELDS(manet_addr, min_roundtrip, max_roundtrip, lost_frames, delayed_frames,
                          broken_frames, retransmissions_number, duplicates_number, bitrate_est,
                          camera_type, video_available)
};

struct set_stream : messgen::Message<set_stream> {
    static constexpr uint8_t TYPE = 15;
    static constexpr const char* NAME = "set_stream";
    uint32_t manet_addr = 0;
    uint8_t enabled = 0;
    uint8_t camera_type = 0;
    uint8_t key[16] = {};
    KELVRA_MESSGEN_FIELDS(manet_addr, enabled, camera_type, key)
};

}  // namespace kelvra::msgs::video
