#pragma once

#include <gst/sdp/sdp.h>

#include <memory>

namespace kelvra::norvane {

struct GstSdpMessageFree {
    void operator()(GstSDPMessage* message) const { gst_sdp_message_free(message); }
};
using GstSdpMessagePtr = std::unique_ptr<GstSDPMessage, GstSdpMessageFree>;

// Parses a viewer's SDP answer. The text comes from outside and the parser takes nearly any
// text, so an answer without a media section is refused as well: null for both.
GstSdpMessagePtr parse_sdp_answer(const char* sdp);

}  // namespace kelvra::norvane
