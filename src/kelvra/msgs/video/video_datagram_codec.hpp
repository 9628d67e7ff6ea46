#pragma once

// Opening and sealing of the encrypted video datagram (layout in video_datagram.hpp): the one
// place that reads or writes its bytes. Every function is total over its input: lengths are
// checked against what is there before anything is read, and failures come back as results,
// never as logs, so the caller decides what to say.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "kelvra/core/slice.hpp"
#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/msgs/video/video_datagram.hpp"

namespace kelvra::msgs::video {

// The clear part: which stream the datagram belongs to.
struct DatagramAddress {
    uint32_t manet_addr = 0;
    uint8_t camera_type = 0;
};

// nullopt for anything shorter than kMinDatagramSize.
std::optional<DatagramAddress> read_datagram_address(ConstSlice<uint8_t> datagram);

enum class DecryptResult {
    kOk,
    kControlFailed,  // control section missing, no room for it, or not authentic
    kPayloadFailed,  // payload section too short for its frame, no room for it, or not authentic
};

// Authenticates and decrypts both sections where they lie in `datagram`, then moves the control
// frame up against the payload plaintext, so that the header area and the fragment follow each
// other without the fragment ever being copied. On kOk `plaintext` is that stretch of `datagram`;
// otherwise it is empty. The datagram's bytes are spent either way.
DecryptResult open_video_datagram(Slice<uint8_t> datagram, manet::AesGcm& cipher,
                                  ConstSlice<uint8_t>& plaintext);

// A header frame whose body is too short for the record it announces.
enum class HeaderRecord : uint8_t { kFragmentInfo, kControl };

// The two records of the header area, each present only when a long-enough frame carried it.
struct DatagramHeader {
    bool has_fragment_info = false;
    bool has_control = false;
    video_fragment_info fragment_info;
    control_data control;
    size_t consumed = 0;  // bytes covered by the frames walked; 40 for a well-formed datagram
    // Too-short frames in the order met; a frame takes at least 5 bytes, so at most 8 fit.
    std::array<HeaderRecord, kHeaderAreaSize / messgen::kFrameHeaderSize> short_records{};
    size_t short_record_count = 0;
    ConstSlice<uint8_t> area;      // the header area (shorter only for a short plaintext)
    ConstSlice<uint8_t> fragment;  // the plaintext after the header area
};

// Walks the header area of a decrypted plaintext frame by frame; a later frame of a kind replaces
// an earlier one, other kinds are skipped, and a frame reaching past the area ends the walk.
DatagramHeader parse_header_area(ConstSlice<uint8_t> plaintext);

// The IVs of the two sections. Neither may ever repeat under one key.
struct DatagramIvs {
    std::array<uint8_t, manet::kGcmIvSize> control{};
    std::array<uint8_t, manet::kGcmIvSize> payload{};
};

// Appends the sealed datagram for one fragment to `out` and returns its length
// (kMinDatagramSize + fragment size). Returns 0, with nothing appended, for a fragment larger
// than kMaxFragmentPayload, too little room in `out`, or a cipher failure.
size_t seal_video_datagram(DatagramAddress address, const control_data& control,
                           const video_fragment_info& info, ConstSlice<uint8_t> fragment,
                           const DatagramIvs& ivs, manet::AesGcm& cipher, Slice<uint8_t>& out);

// Same from a plaintext laid out by the caller: the first 26 bytes become the control section,
// the rest the payload section. For plaintexts that well-formed senders would not produce; at
// least 26 bytes, and the datagram no longer than kMaxDatagramSize.
size_t seal_video_plaintext(DatagramAddress address, ConstSlice<uint8_t> plaintext,
                            const DatagramIvs& ivs, manet::AesGcm& cipher, Slice<uint8_t>& out);

}  // namespace kelvra::msgs::video
