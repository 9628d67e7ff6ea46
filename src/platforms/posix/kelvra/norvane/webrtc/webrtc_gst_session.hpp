#pragma once

#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kelvra/core/keyframe_run.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/norvane/webrtc/gst_ref.hpp"
#include "kelvra/norvane/webrtc/gst_session.hpp"

namespace kelvra {

// The media session of one viewer, run inside its session child: encoded frames from the
// gateway go through appsrc → identity → RTP payloader → capssetter → webrtcbin without being
// re-encoded; webrtcbin is the offerer, and every frame's detections follow on the data channel
// "sendChannel". Negotiation messages go up the pipe to the gateway as complete session_msg
// frames.
//
// Built in the parent before the fork and used only in the child: the constructor stores its
// arguments and makes no GStreamer call.
class WebRTCGstSession final : public GstSession {
public:
    static constexpr size_t kMessageBufferSize = 16384;  // bytes, largest frame written up
    static constexpr size_t kParseArenaSize = 10'485'760;
    static constexpr guint kIceCheckPeriodS = 5;
    static constexpr guint kPayloaderMtu = 1400;  // bytes
    static constexpr const char* kDataChannelLabel = "sendChannel";
    // Sent packets kept for retransmission: long enough for a viewer's NACK to come back over a
    // slow path and its retransmission to be asked again; the packet bound only caps memory
    // (about 10 MB) for a stream far above what drones send.
    static constexpr guint kRtxHistoryMs = 1500;
    static constexpr guint kRtxHistoryMaxPackets = 8192;
    // Frames since the latest keyframe kept until the viewer's transport is up: a stream's
    // catch-up run from the gateway plus the live frames of the connection's set-up.
    static constexpr uint64_t kPendingMaxBytes = 16ull << 20;
    static constexpr size_t kPendingMaxFrames = 600;
    // Bytes appsrc may queue: a whole pending run is pushed at once when the transport comes up.
    static constexpr uint64_t kAppsrcMaxBytes = kPendingMaxBytes + (1ull << 20);
    // Time-stamp step of the pending frames replayed at once: two ticks of the 90 kHz RTP clock,
    // so that they keep distinct, increasing timestamps while the whole run lies just before
    // the live frames that follow.
    static constexpr GstClockTime kReplaySpacingNs = 22'223;

    WebRTCGstSession(uint32_t manet_addr, uint64_t consumer_id, std::string turn_url,
                     std::string stun_url, int pipe_fd, uint8_t camera_type,
                     std::vector<std::string> ice_local_addresses = {});
    ~WebRTCGstSession() override;
    WebRTCGstSession(const WebRTCGstSession&) = delete;
    WebRTCGstSession& operator=(const WebRTCGstSession&) = delete;

    void start(GMainLoop* loop) override;
    void stop() override;
    void feed_message(const messgen::MessageInfo& info) override;

    const std::string& stun_server() const { return stun_server_; }
    const std::string& turn_server() const { return turn_server_; }
    uint8_t video_format() const { return video_format_; }
    bool has_pipeline() const { return pipeline_ != nullptr; }
    // The element of the running pipeline with this name, for inspection; null when none.
    norvane::GstObjectPtr<GstElement> element(const char* name) const;

private:
    // Pipeline and frames.
    void handle_frame(const msgs::video::video_frame& frame);
    // Pushes `buffer` into appsrc; its detections are sent as the payloader takes it.
    void push_frame(GstBuffer* buffer, std::vector<msgs::video::detection_item> detections);
    void watch_connection_state();
    static void on_connection_state_static(GstElement* webrtcbin, GParamSpec*, gpointer self);
    static gboolean on_connection_change_static(gpointer self);
    // On the loop: the viewer's transport came up; plays the frames kept for it.
    void on_connection_change();
    void play_pending();
    void launch_gst_pipeline(uint8_t format);
    void destroy_gst_pipeline();
    void add_ice_local_addresses();
    void guard_payloader_input();
    static void size_rtx_history_static(GstBin* pipeline, GstBin* bin, GstElement* element,
                                        gpointer unused);
    static GstFlowReturn payloader_chain_static(GstPad* pad, GstObject* parent, GstBuffer* buffer);
    static gboolean bus_call_static(GstBus* bus, GstMessage* message, gpointer self);
    gboolean bus_call(GstMessage* message);

    // Negotiation.
    struct PendingOffer;
    static void gst_on_negotiation_needed_static(GstElement* webrtcbin, gpointer self);
    void gst_on_negotiation_needed(GstElement* webrtcbin);
    static void gst_on_offer_created_static(GstPromise* promise, gpointer pending);
    void gst_on_offer_created_cb(GstPromise* promise, GstElement* webrtcbin);
    bool is_current_webrtcbin(GstElement* webrtcbin);
    void set_webrtcbin(GstElement* webrtcbin);
    static void gst_on_ice_candidate_static(GstElement* webrtcbin, guint mline_index,
                                            gchar* candidate, gpointer self);
    void gst_on_ice_candidate(guint mline_index, const gchar* candidate);
    void handle_sdp_string(const char* sdp);
    void handle_ice_candidate_string(uint32_t mline_index, const char* candidate);
    static gboolean on_check_ice_state_timer_static(gpointer self);
    gboolean on_check_ice_state_timer();
    // Wraps one sdp_message or ice_message in a session_msg and writes it up the pipe.
    template <typename PeerMessage>
    void send_peer_message(const PeerMessage& message);

    // Data channel.
    void create_datachannel();
    void datachannel_detections(uint32_t rtp_timestamp,
                                const messgen::Dynamic<msgs::video::detection_item>& detections);
    // Holds `channel` instead of the current one unless it is held already; true when adopted.
    bool adopt_unless_held(GstWebRTCDataChannel* channel);
    void connect_channel_signals(GstWebRTCDataChannel* channel);
    bool holds_channel();
    bool is_held_channel(GstWebRTCDataChannel* channel);
    // Forgets the held channel, or only `only_if` when that is the one held.
    void forget_channel(GstWebRTCDataChannel* only_if = nullptr);
    static void gst_on_data_channel_static(GstElement* webrtcbin, GstWebRTCDataChannel* channel,
                                           gpointer self);
    void gst_on_data_channel(GstWebRTCDataChannel* channel);
    static void gst_on_data_channel_open_static(GstWebRTCDataChannel* channel, gpointer self);
    void gst_on_data_channel_open(GstWebRTCDataChannel* channel);
    static void gst_on_data_channel_close_static(GstWebRTCDataChannel* channel, gpointer self);
    static void gst_on_data_channel_error_static(GstWebRTCDataChannel* channel, GError* error,
                                                 gpointer self);
    static void gst_on_data_channel_msg_static(GstWebRTCDataChannel* channel, gchar* text,
                                               gpointer self);

    uint32_t manet_addr_;
    uint64_t consumer_id_;
    int pipe_fd_;
    uint8_t camera_type_;
    std::string turn_server_;
    std::string stun_server_;
    std::vector<std::string> ice_local_addresses_;
    GMainLoop* main_loop_ = nullptr;  // the child's loop, owned by its SessionProcess

    norvane::GstObjectPtr<GstElement> pipeline_;
    norvane::GstObjectPtr<GstBus> bus_;
    // Children of the pipeline, valid while it exists. webrtcbin_ is replaced on the loop
    // thread, which reads it freely; the offer callbacks compare against it under the lock.
    std::mutex webrtcbin_mutex_;
    GstElement* webrtcbin_ = nullptr;
    GstElement* payloader_ = nullptr;
    GstElement* appsrc_ = nullptr;
    norvane::GSourcePtr ice_check_source_;
    GstPadChainFunction payloader_chain_ = nullptr;  // the payloader's own input function
    uint8_t video_format_ = 0;
    bool dropped_frames_logged_ = false;  // frames without a pipeline were reported
    bool connected_ = false;              // the viewer's transport is up
    // Frames pushed before the viewer's transport was up never reach it: they are kept, and
    // played again once it is.
    struct PendingFrame {
        std::unique_ptr<GstBuffer, void (*)(GstBuffer*)> buffer{nullptr, nullptr};
        std::vector<msgs::video::detection_item> detections;
    };
    KeyframeRun<PendingFrame> pending_{kPendingMaxBytes, kPendingMaxFrames, 64};

    // Offer and candidates are built and written from GStreamer's threads, possibly at once.
    std::mutex write_mutex_;
    std::vector<uint8_t> message_buffer_;
    std::vector<uint8_t> peer_message_buffer_;

    // Replaced and forgotten from GStreamer's threads while the loop thread sends on it.
    std::mutex channel_mutex_;
    norvane::GObjectPtr<GstWebRTCDataChannel> data_channel_;
    std::string detections_text_;

    // Reserved by start(), in the child only.
    std::unique_ptr<messgen::OwnedArena> arena_;
};

}  // namespace kelvra
