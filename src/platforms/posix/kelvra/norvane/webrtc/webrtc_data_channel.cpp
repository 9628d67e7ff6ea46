// The "sendChannel" data channel: one detections text per frame. webrtcbin replaces or closes
// the channel from its own threads while the loop thread sends on it, so the held channel is
// only touched under its lock, and a sender keeps its own reference for the send.

#include <spdlog/spdlog.h>

#include <utility>

#include "kelvra/norvane/webrtc/detections_message.hpp"
#include "kelvra/norvane/webrtc/webrtc_gst_session.hpp"

namespace kelvra {

using norvane::GObjectPtr;
using norvane::GstStructurePtr;

void WebRTCGstSession::create_datachannel() {
    {
        const std::lock_guard lock(channel_mutex_);
        if (data_channel_) return;
    }
    const GstStructurePtr options(gst_structure_new_empty(kDataChannelLabel));
    GstWebRTCDataChannel* channel = nullptr;
    g_signal_emit_by_name(webrtcbin_, "create-data-channel", kDataChannelLabel, options.get(),
                          &channel);
    if (channel == nullptr) {
        spdlog::error("create webrtcchannel {}", 0);
        return;
    }
    // The action signal hands over a reference, which the holder now owns.
    {
        const std::lock_guard lock(channel_mutex_);
        data_channel_.reset(channel);
    }
    connect_channel_signals(channel);
}

void WebRTCGstSession::connect_channel_signals(GstWebRTCDataChannel* channel) {
    g_signal_connect(channel, "on-message-string", G_CALLBACK(gst_on_data_channel_msg_static),
                     this);
    g_signal_connect(channel, "on-close", G_CALLBACK(gst_on_data_channel_close_static), this);
    g_signal_connect(channel, "on-error", G_CALLBACK(gst_on_data_channel_error_static), this);
    g_signal_connect(channel, "on-open", G_CALLBACK(gst_on_data_channel_open_static), this);
}

bool WebRTCGstSession::adopt_unless_held(GstWebRTCDataChannel* channel) {
    // Checked and replaced under one lock: a close of the held channel on another thread must
    // not slip in between and make this adopt what it then forgets, or the other way round.
    GObjectPtr<GstWebRTCDataChannel> previous;
    {
        const std::lock_guard lock(channel_mutex_);
        if (data_channel_.get() == channel) return false;
        previous = std::exchange(
            data_channel_,
            GObjectPtr<GstWebRTCDataChannel>(GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel))));
    }
    connect_channel_signals(channel);
    return true;
}

bool WebRTCGstSession::holds_channel() {
    const std::lock_guard lock(channel_mutex_);
    return data_channel_ != nullptr;
}

bool WebRTCGstSession::is_held_channel(GstWebRTCDataChannel* channel) {
    const std::lock_guard lock(channel_mutex_);
    return data_channel_.get() == channel;
}

void WebRTCGstSession::forget_channel(GstWebRTCDataChannel* only_if) {
    GObjectPtr<GstWebRTCDataChannel> released;  // released after the lock, outside it
    const std::lock_guard lock(channel_mutex_);
    if (only_if == nullptr || data_channel_.get() == only_if) released = std::move(data_channel_);
}

void WebRTCGstSession::datachannel_detections(
    uint32_t rtp_timestamp, const messgen::Dynamic<msgs::video::detection_item>& detections) {
    spdlog::debug("datachannel_detections: {}", detections.size);
    norvane::write_detections_json(rtp_timestamp, detections, detections_text_);

    GObjectPtr<GstWebRTCDataChannel> channel;
    {
        const std::lock_guard lock(channel_mutex_);
        if (data_channel_)
            channel.reset(GST_WEBRTC_DATA_CHANNEL(g_object_ref(data_channel_.get())));
    }
    if (!channel) return;
    GstWebRTCDataChannelState state = GST_WEBRTC_DATA_CHANNEL_STATE_CLOSED;
    g_object_get(channel.get(), "ready-state", &state, nullptr);
    if (state != GST_WEBRTC_DATA_CHANNEL_STATE_OPEN) return;
    gst_webrtc_data_channel_send_string(channel.get(), detections_text_.c_str());
}

void WebRTCGstSession::gst_on_data_channel_static(GstElement*, GstWebRTCDataChannel* channel,
                                                  gpointer self) {
    static_cast<WebRTCGstSession*>(self)->gst_on_data_channel(channel);
}

void WebRTCGstSession::gst_on_data_channel(GstWebRTCDataChannel* channel) {
    spdlog::error("new on data channel");
    if (!holds_channel()) {
        spdlog::error("Null channel on data channel");
        spdlog::error("ON datachannel old is null");
    }
    if (adopt_unless_held(channel)) spdlog::error("ON datachannel differs");
}

void WebRTCGstSession::gst_on_data_channel_open_static(GstWebRTCDataChannel* channel,
                                                       gpointer self) {
    static_cast<WebRTCGstSession*>(self)->gst_on_data_channel_open(channel);
}

void WebRTCGstSession::gst_on_data_channel_open(GstWebRTCDataChannel* channel) {
    spdlog::error("on data channel open");
    if (!holds_channel()) spdlog::error("data channel old is null");
    if (adopt_unless_held(channel)) spdlog::error("opened datachannel differs");
}

void WebRTCGstSession::gst_on_data_channel_close_static(GstWebRTCDataChannel* channel,
                                                        gpointer self) {
    spdlog::error("webrtcchannel close");
    auto* session = static_cast<WebRTCGstSession*>(self);
    // A channel that was replaced earlier may close later; only the held one is forgotten, so
    // the detections keep flowing on the channel that replaced it.
    session->forget_channel(channel);
}

void WebRTCGstSession::gst_on_data_channel_error_static(GstWebRTCDataChannel*, GError* error,
                                                        gpointer) {
    spdlog::error("webrtcchannel error {} {}", error != nullptr ? error->code : 0,
                  error != nullptr && error->message != nullptr ? error->message : "");
}

void WebRTCGstSession::gst_on_data_channel_msg_static(GstWebRTCDataChannel* channel, gchar*,
                                                      gpointer self) {
    // The channel only carries detections to the viewer; what the viewer sends is ignored.
    if (!static_cast<WebRTCGstSession*>(self)->is_held_channel(channel)) {
        spdlog::error("Duplicated channel on data msg");
    }
}

}  // namespace kelvra
