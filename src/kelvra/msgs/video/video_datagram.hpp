#pragma once

// Layout of the encrypted video datagram a sender delivers to the gateway:
//   [0..4)   manet address (clear)      [4]        camera type (clear)
//   [5..17)  control IV                 [17..43)   control ciphertext    [43..55)  control tag
//   [55..67) payload IV                 [67..N-12) payload ciphertext    [N-12..N) payload tag
// The control section holds the `control_data` frame (26 bytes); the payload section holds the
// `video_fragment_info` frame (14 bytes) followed by the fragment's bytes. Each section is
// AES-128-GCM with its own 12-byte IV, a 12-byte tag and no associated data, so the plaintext
// is a 40-byte header area of message frames followed by the fragment.

#include <cstddef>

namespace kelvra::msgs::video {

constexpr size_t kMaxDatagramSize = 1500;
constexpr size_t kClearSize = 5;
constexpr size_t kControlIvOffset = 5;
constexpr size_t kControlCipherOffset = 17;
constexpr size_t kControlFrameSize = 26;
constexpr size_t kControlTagOffset = 43;
constexpr size_t kPayloadIvOffset = 55;
constexpr size_t kPayloadCipherOffset = 67;
constexpr size_t kFragmentInfoFrameSize = 14;
constexpr size_t kSectionTagSize = 12;
constexpr size_t kHeaderAreaSize = kControlFrameSize + kFragmentInfoFrameSize;  // 40
// A datagram with no fragment bytes: 93.
constexpr size_t kMinDatagramSize = kPayloadCipherOffset + kFragmentInfoFrameSize + kSectionTagSize;
constexpr size_t kMaxFragmentPayload = kMaxDatagramSize - kMinDatagramSize;  // 1407

}  // namespace kelvra::msgs::video
