#include "kelvra/msgs/video/video_datagram_codec.hpp"

#include <algorithm>
#include <cstring>

namespace kelvra::msgs::video {

namespace {

using manet::kGcmIvSize;
using manet::kGcmTagSize;

static_assert(kSectionTagSize == kGcmTagSize);
static_assert(kControlCipherOffset == kControlIvOffset + kGcmIvSize);
static_assert(kPayloadCipherOffset == kPayloadIvOffset + kGcmIvSize);
static_assert(kControlFrameSize == messgen::kFrameHeaderSize + messgen::wire_size<control_data>());
static_assert(kFragmentInfoFrameSize ==
              messgen::kFrameHeaderSize + messgen::wire_size<video_fragment_info>());

// Clear part, two IVs and two tags: what a datagram carries besides its plaintext.
constexpr size_t kSealOverhead = kMinDatagramSize - kHeaderAreaSize;  // 53

// Decodes one header record; a body shorter than the record's fixed fields leaves it absent.
template <typename Record>
bool read_header_record(Record& record, const uint8_t* body, uint32_t length) {
    record = {};
    if (length < messgen::wire_size<Record>()) return false;
    messgen::Reader reader(body, length);
    messgen::Arena no_arena(nullptr, 0);  // neither record has variable-length fields
    return record.read_payload(reader, no_arena);
}

void note_short_record(DatagramHeader& header, HeaderRecord record) {
    if (header.short_record_count < header.short_records.size())
        header.short_records[header.short_record_count++] = record;
}

// `d` holds the control plaintext at the control cipher offset and `payload_size` bytes of
// payload plaintext at the payload cipher offset; writes the clear part, the IVs and the tags
// around them and encrypts both sections in place.
bool seal_in_place(uint8_t* d, DatagramAddress address, size_t payload_size, const DatagramIvs& ivs,
                   manet::AesGcm& cipher) {
    messgen::store_le<uint32_t>(d, address.manet_addr);
    d[4] = address.camera_type;
    std::memcpy(d + kControlIvOffset, ivs.control.data(), kGcmIvSize);
    std::memcpy(d + kPayloadIvOffset, ivs.payload.data(), kGcmIvSize);
    uint8_t* control = d + kControlCipherOffset;
    uint8_t* payload = d + kPayloadCipherOffset;
    return cipher.encrypt(control, control, kControlFrameSize, d + kControlIvOffset,
                          d + kControlTagOffset) &&
           cipher.encrypt(payload, payload, payload_size, d + kPayloadIvOffset,
                          payload + payload_size);
}

}  // namespace

std::optional<DatagramAddress> read_datagram_address(ConstSlice<uint8_t> datagram) {
    if (datagram.size < kMinDatagramSize) return std::nullopt;
    return DatagramAddress{messgen::load_le<uint32_t>(datagram.data), datagram.data[4]};
}

DecryptResult open_video_datagram(Slice<uint8_t> datagram, manet::AesGcm& cipher,
                                  ConstSlice<uint8_t>& plaintext) {
    plaintext = {};
    uint8_t* d = datagram.data;
    const uint64_t n = datagram.size;
    if (n < kPayloadIvOffset) return DecryptResult::kControlFailed;
    uint8_t* control = d + kControlCipherOffset;
    if (!cipher.decrypt(control, control, kControlFrameSize, d + kControlIvOffset,
                        d + kControlTagOffset)) {
        return DecryptResult::kControlFailed;
    }
    // The payload section must at least hold its IV, the fragment-info frame and its tag, so
    // that a decrypted datagram always has a whole header area.
    if (n < kMinDatagramSize) return DecryptResult::kPayloadFailed;
    uint8_t* payload = d + kPayloadCipherOffset;
    const uint64_t payload_size = n - kPayloadCipherOffset - kGcmTagSize;
    if (!cipher.decrypt(payload, payload, payload_size, d + kPayloadIvOffset,
                        d + n - kGcmTagSize)) {
        return DecryptResult::kPayloadFailed;
    }
    // Over the control tag and the payload IV, both spent by now.
    uint8_t* start = payload - kControlFrameSize;
    std::memmove(start, control, kControlFrameSize);
    plaintext = {start, kControlFrameSize + payload_size};
    return DecryptResult::kOk;
}

DatagramHeader parse_header_area(ConstSlice<uint8_t> plaintext) {
    DatagramHeader out;
    const uint64_t area_size = std::min<uint64_t>(plaintext.size, kHeaderAreaSize);
    out.area = {plaintext.data, area_size};
    out.fragment = {plaintext.data + area_size, plaintext.size - area_size};

    out.consumed =
        messgen::walk_frames(plaintext.data, area_size, [&](const messgen::MessageInfo& f) {
            if (f.type_id == video_fragment_info::TYPE) {
                out.has_fragment_info = read_header_record(out.fragment_info, f.payload, f.size);
                if (!out.has_fragment_info) note_short_record(out, HeaderRecord::kFragmentInfo);
            } else if (f.type_id == control_data::TYPE) {
                out.has_control = read_header_record(out.control, f.payload, f.size);
                if (!out.has_control) note_short_record(out, HeaderRecord::kControl);
            }
        });
    return out;
}

size_t seal_video_datagram(DatagramAddress address, const control_data& control,
                           const video_fragment_info& info, ConstSlice<uint8_t> fragment,
                           const DatagramIvs& ivs, manet::AesGcm& cipher, Slice<uint8_t>& out) {
    if (fragment.size > kMaxFragmentPayload) return 0;
    const size_t total = kMinDatagramSize + fragment.size;
    if (out.free_space() < total) return 0;

    // The frames are written straight to where their ciphertext goes and encrypted in place.
    uint8_t* d = out.end();
    Slice<uint8_t> control_area{d + kControlCipherOffset, 0, kControlFrameSize};
    Slice<uint8_t> info_area{d + kPayloadCipherOffset, 0, kFragmentInfoFrameSize};
    if (control.serialize(control_area) != static_cast<int>(kControlFrameSize) ||
        info.serialize(info_area) != static_cast<int>(kFragmentInfoFrameSize)) {
        return 0;
    }
    if (!fragment.empty())
        std::memcpy(d + kPayloadCipherOffset + kFragmentInfoFrameSize, fragment.data,
                    fragment.size);
    if (!seal_in_place(d, address, kFragmentInfoFrameSize + fragment.size, ivs, cipher)) return 0;
    out.size += total;
    return total;
}

size_t seal_video_plaintext(DatagramAddress address, ConstSlice<uint8_t> plaintext,
                            const DatagramIvs& ivs, manet::AesGcm& cipher, Slice<uint8_t>& out) {
    if (plaintext.size < kControlFrameSize || plaintext.size > kMaxDatagramSize - kSealOverhead) {
        return 0;
    }
    const size_t total = kSealOverhead + plaintext.size;
    if (out.free_space() < total) return 0;

    uint8_t* d = out.end();
    const size_t payload_size = plaintext.size - kControlFrameSize;
    std::memcpy(d + kControlCipherOffset, plaintext.data, kControlFrameSize);
    if (payload_size != 0)
        std::memcpy(d + kPayloadCipherOffset, plaintext.data + kControlFrameSize, payload_size);
    if (!seal_in_place(d, address, payload_size, ivs, cipher)) return 0;
    out.size += total;
    return total;
}

}  // namespace kelvra::msgs::video
