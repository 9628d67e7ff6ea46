#pragma once

// Datagrams the gateway sends back to a sender, in clear: one message frame each, either a
// retransmission request or the gateway's reception statistics. Anything else is ignored.

#include <cstdint>
#include <variant>

#include "kelvra/core/slice.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane::sender {

using Feedback =
    std::variant<std::monostate, msgs::video::video_retransmit_request, msgs::video::video_stats>;

// Reads the frame at the front of the datagram; monostate for anything that is not a complete,
// well-formed request or statistics frame.
inline Feedback parse_feedback(ConstSlice<uint8_t> datagram) {
    const auto frame = messgen::front_frame(datagram.data, datagram.size);
    if (!frame) return {};
    const messgen::MessageInfo& info = *frame;
    // Neither message has variable-length fields, so the arena is never touched.
    messgen::Arena arena(nullptr, 0);
    if (info.type_id == msgs::video::video_retransmit_request::TYPE) {
        msgs::video::video_retransmit_request request;
        if (request.parse(info, arena) < 0) return {};
        return request;
    }
    if (info.type_id == msgs::video::video_stats::TYPE) {
        msgs::video::video_stats stats;
        if (stats.parse(info, arena) < 0) return {};
        return stats;
    }
    return {};
}

}  // namespace kelvra::norvane::sender
