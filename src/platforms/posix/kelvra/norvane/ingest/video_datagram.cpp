#include "kelvra/norvane/ingest/video_datagram.hpp"

#include <spdlog/spdlog.h>

namespace kelvra::norvane {

using msgs::video::control_data;
using msgs::video::video_fragment_info;

DatagramAddress read_datagram_address(const uint8_t* datagram) {
    return {messgen::load_le<uint32_t>(datagram), datagram[4]};
}

bool decrypt_video_datagram(ConstSlice<uint8_t> datagram, manet::AesGcm& cipher,
                            Slice<uint8_t>& plaintext, spdlog::logger& log) {
    const uint8_t* d = datagram.data;
    const uint64_t n = datagram.size;
    if (n < kPayloadCipherOffset || plaintext.free_space() < kControlFrameSize) {
        log.error("Failed to decrypt control data");
        return false;
    }
    if (!cipher.decrypt(plaintext.end(), d + kControlCipherOffset, kControlFrameSize,
                        d + kControlIvOffset, d + kControlTagOffset)) {
        log.error("Failed to decrypt control data");
        return false;
    }
    plaintext.size += kControlFrameSize;

    // The payload section needs room for its IV and tag.
    if (n - kPayloadIvOffset < manet::kGcmIvSize + manet::kGcmTagSize) return false;
    const uint64_t payload_size = n - kPayloadCipherOffset - manet::kGcmTagSize;
    if (plaintext.free_space() < payload_size) return false;
    if (!cipher.decrypt(plaintext.end(), d + kPayloadCipherOffset, payload_size,
                        d + kPayloadIvOffset, d + n - manet::kGcmTagSize)) {
        return false;
    }
    plaintext.size += payload_size;
    return true;
}

namespace {

// Decodes one header record; a body shorter than the record's fixed fields leaves it absent.
template <typename Record>
bool read_header_record(Record& record, const uint8_t* body, uint32_t length, spdlog::logger& log,
                        const char* too_short) {
    record = {};
    if (length < Record::PAYLOAD_SIZE) {
        log.error(too_short);
        return false;
    }
    messgen::Reader reader(body, length);
    messgen::Arena no_arena(nullptr, 0);  // neither record has variable-length fields
    return record.read_payload(reader, no_arena);
}

}  // namespace

DatagramHeader parse_header_area(const uint8_t* header, spdlog::logger& log) {
    DatagramHeader out;
    size_t pos = 0;
    size_t remaining = kHeaderAreaSize;
    while (remaining > 4) {
        const uint8_t id = header[pos];
        const uint32_t length = messgen::load_le<uint32_t>(header + pos + 1);
        if (length > remaining - messgen::kFrameHeaderSize) break;
        const uint8_t* body = header + pos + messgen::kFrameHeaderSize;
        if (id == video_fragment_info::TYPE) {
            out.has_fragment_info = read_header_record(out.fragment_info, body, length, log,
                                                       "Failed to parse video fragment message");
        } else if (id == control_data::TYPE) {
            out.has_control =
                read_header_record(out.control, body, length, log,
                                   "VideoReceiver, Failed to parse control_data message!");
        }
        pos += messgen::kFrameHeaderSize + length;
        remaining -= messgen::kFrameHeaderSize + length;
    }
    out.consumed = pos;
    return out;
}

}  // namespace kelvra::norvane
