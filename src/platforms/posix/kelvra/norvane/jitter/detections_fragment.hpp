#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "kelvra/core/slice.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane::jitter {

// The detections fragment of a frame: a little-endian uint32 count followed by that many
// 11-byte detection items.

// Count announced by a detections fragment, or nothing when the fragment does not decode (fewer
// than 4 bytes, or more items than the decoding scratch area holds).
std::optional<uint32_t> detections_count(ConstSlice<uint8_t> fragment);

// Appends `count` items decoded from the fragment to `out`. Item bytes missing from a short
// fragment read as zero, so a truncated list still yields `count` items.
void append_detections(ConstSlice<uint8_t> fragment, uint32_t count,
                       std::vector<msgs::video::detection_item>& out);

}  // namespace kelvra::norvane::jitter
