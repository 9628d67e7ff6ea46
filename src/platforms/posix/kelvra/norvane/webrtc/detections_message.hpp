#pragma once

#include <cstdint>
#include <string>

#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane {

// Writes into `out` (cleared first) the compact JSON text that carries one frame's detections
// to the viewer, tagged with an RTP timestamp:
//   {"det":[{"h":40,"i":7,"t":1,"w":30,"x":10,"y":20}],"t":90000}
// and {"det":null,"t":90000} for a frame without detections. Viewers parse the keys in this
// order, so it is fixed. Reusing `out` keeps the per-frame path free of allocations once it
// has grown to the largest text.
void write_detections_json(uint32_t rtp_timestamp,
                           const messgen::Dynamic<msgs::video::detection_item>& detections,
                           std::string& out);

}  // namespace kelvra::norvane
