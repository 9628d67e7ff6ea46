#include "kelvra/norvane/webrtc/sdp_answer.hpp"

#include <cstring>

namespace kelvra::norvane {

GstSdpMessagePtr parse_sdp_answer(const char* sdp) {
    if (sdp == nullptr || sdp[0] == '\0') return nullptr;
    GstSDPMessage* raw = nullptr;
    if (gst_sdp_message_new(&raw) != GST_SDP_OK) return nullptr;
    GstSdpMessagePtr message(raw);
    if (gst_sdp_message_parse_buffer(reinterpret_cast<const guint8*>(sdp),
                                     static_cast<guint>(std::strlen(sdp)),
                                     message.get()) != GST_SDP_OK ||
        gst_sdp_message_medias_len(message.get()) == 0) {
        return nullptr;
    }
    return message;
}

}  // namespace kelvra::norvane
