#include "kelvra/norvane/webrtc/detections_message.hpp"

#include <fmt/format.h>

#include <iterator>

namespace kelvra::norvane {

void write_detections_json(uint32_t rtp_timestamp,
                           const messgen::Dynamic<msgs::video::detection_item>& detections,
                           std::string& out) {
    out.clear();
    auto it = std::back_inserter(out);
    if (detections.size == 0) {
        fmt::format_to(it, R"({{"det":null,"t":{}}})", rtp_timestamp);
        return;
    }
    out += R"({"det":[)";
    const char* separator = "";
    for (const auto& d : detections) {
        fmt::format_to(it, R"({}{{"h":{},"i":{},"t":{},"w":{},"x":{},"y":{}}})", separator, d.h,
                       d.id, unsigned{d.type}, d.w, d.x, d.y);
        separator = ",";
    }
    fmt::format_to(it, R"(],"t":{}}})", rtp_timestamp);
}

}  // namespace kelvra::norvane
