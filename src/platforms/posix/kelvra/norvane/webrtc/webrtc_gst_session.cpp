// The session's pipeline: construction in the parent, building and tearing down in the child,
// and the path of one frame into appsrc.

#include "kelvra/norvane/webrtc/webrtc_gst_session.hpp"

#include <gst/app/gstappsrc.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstring>

#include "kelvra/norvane/process/child_exit.hpp"

namespace kelvra {

namespace video = msgs::video;
using norvane::GstCapsPtr;
using norvane::GstObjectPtr;

namespace {

std::string with_scheme(std::string url, const char* scheme) {
    if (url.rfind(scheme, 0) != 0) url.insert(0, scheme);
    return url;
}

// A pipeline that cannot be built leaves the child nothing to do: it ends, and the gateway
// sees the session end by itself.
[[noreturn]] void fail_session(const char* condition) {
    spdlog::critical("{}", condition);
    end_child_process(1);
}

template <typename T>
T* require(T* object, const char* condition) {
    if (object == nullptr) fail_session(condition);
    return object;
}

struct CodecElements {
    const char* payloader_factory;
    const char* video_caps;
    const char* rtp_caps;
};

const CodecElements* codec_elements(uint8_t format) {
    static constexpr CodecElements kVp8{"rtpvp8pay", "video/x-vp8",
                                        "application/x-rtp,encoding-name=VP8"};
    static constexpr CodecElements kVp9{"rtpvp9pay", "video/x-vp9",
                                        "application/x-rtp,encoding-name=VP9"};
    switch (static_cast<video::VideoFormat>(format)) {
        case video::VideoFormat::VP8:
            return &kVp8;
        case video::VideoFormat::VP9:
            return &kVp9;
    }
    return nullptr;
}

}  // namespace

WebRTCGstSession::WebRTCGstSession(uint32_t manet_addr, uint64_t consumer_id, std::string turn_url,
                                   std::string stun_url, int pipe_fd, uint8_t camera_type,
                                   std::vector<std::string> ice_local_addresses)
    : manet_addr_(manet_addr),
      consumer_id_(consumer_id),
      pipe_fd_(pipe_fd),
      camera_type_(camera_type),
      turn_server_(with_scheme(std::move(turn_url), "turn://")),
      stun_server_(with_scheme(std::move(stun_url), "stun://")),
      ice_local_addresses_(std::move(ice_local_addresses)) {}

WebRTCGstSession::~WebRTCGstSession() = default;

void WebRTCGstSession::start(GMainLoop* loop) {
    main_loop_ = loop;
    peer_message_buffer_.reserve(kMessageBufferSize);
    message_buffer_.reserve(kMessageBufferSize);
    detections_text_.reserve(256);
    arena_ = std::make_unique<messgen::OwnedArena>(kParseArenaSize);
}

void WebRTCGstSession::stop() {
    destroy_gst_pipeline();
}

GstObjectPtr<GstElement> WebRTCGstSession::element(const char* name) const {
    if (!pipeline_) return nullptr;
    return GstObjectPtr<GstElement>(gst_bin_get_by_name(GST_BIN(pipeline_.get()), name));
}

void WebRTCGstSession::feed_message(const messgen::MessageInfo& info) {
    arena_->reset();
    switch (info.type_id) {
        case video::sdp_message::TYPE: {
            video::sdp_message msg;
            if (msg.parse(info, *arena_) < 0) {
                spdlog::error("Failed to parse SDP message!");
                return;
            }
            handle_sdp_string(msg.sdp);
            break;
        }
        case video::video_frame::TYPE: {
            video::video_frame msg;
            if (msg.parse(info, *arena_) < 0) {
                spdlog::error("Failed to parse video frame");
                return;
            }
            handle_frame(msg);
            break;
        }
        case video::ice_message::TYPE: {
            video::ice_message msg;
            if (msg.parse(info, *arena_) < 0) {
                spdlog::error("Failed to parse ice candidate message!");
                return;
            }
            handle_ice_candidate_string(msg.m_line_idx, msg.candidate);
            break;
        }
        default:
            spdlog::warn("Unexpected message {}", unsigned{info.type_id});
            break;
    }
}

void WebRTCGstSession::handle_frame(const video::video_frame& frame) {
    if (frame.video_format != video_format_) {
        destroy_gst_pipeline();
        launch_gst_pipeline(frame.video_format);
        video_format_ = frame.video_format;
        dropped_frames_logged_ = false;
        watch_connection_state();
    }
    if (appsrc_ == nullptr) {
        // No payloader exists for this format; say so once, not for every frame.
        if (!dropped_frames_logged_) {
            spdlog::warn("Dropping video frames of format {}: no pipeline for it",
                         unsigned{frame.video_format});
            dropped_frames_logged_ = true;
        }
        return;
    }

    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, frame.payload.size, nullptr);
    if (buffer == nullptr) {
        spdlog::error("Failed to allocate frame buffer!");
        return;
    }
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        spdlog::error("Failed to map buffer!");
        gst_buffer_unref(buffer);
        return;
    }
    if (frame.payload.size != 0) std::memcpy(map.data, frame.payload.ptr, frame.payload.size);
    gst_buffer_unmap(buffer, &map);

    std::vector<video::detection_item> detections(frame.detections.ptr,
                                                  frame.detections.ptr + frame.detections.size);
    if (connected_) {
        push_frame(buffer, std::move(detections));
        return;
    }
    // Nothing reaches the viewer yet: the frame is kept for it, and pushed without its
    // detections only so that the pipeline learns its caps for the offer.
    PendingFrame pending;
    pending.buffer = {gst_buffer_ref(buffer), [](GstBuffer* b) { gst_buffer_unref(b); }};
    pending.detections = std::move(detections);
    pending_.add(std::move(pending), frame.keyframe != 0,
                 frame.payload.size + frame.detections.size * sizeof(video::detection_item));
    gst_app_src_push_buffer(GST_APP_SRC(appsrc_), buffer);
}

namespace {

// The detections of a frame travel with its buffer to the payloader, which sends them when it
// takes the frame: only then is its timestamp property that of the frame before, also when
// many frames are queued at once.
GQuark detections_quark() {
    static const GQuark quark = g_quark_from_static_string("norvane-detections");
    return quark;
}

using Detections = std::vector<video::detection_item>;

}  // namespace

void WebRTCGstSession::push_frame(GstBuffer* buffer,
                                  std::vector<video::detection_item> detections) {
    auto* travelling = new Detections(std::move(detections));
    gst_mini_object_set_qdata(GST_MINI_OBJECT(buffer), detections_quark(), travelling,
                              [](gpointer data) { delete static_cast<Detections*>(data); });
    // appsrc takes the buffer's reference; a buffer without a timestamp gets the running time
    // at which appsrc hands it on.
    gst_app_src_push_buffer(GST_APP_SRC(appsrc_), buffer);
}

void WebRTCGstSession::watch_connection_state() {
    connected_ = false;
    pending_.reset();
    if (webrtcbin_ == nullptr) return;
    g_object_set(appsrc_, "max-bytes", guint64{kAppsrcMaxBytes}, nullptr);
    g_signal_connect(webrtcbin_, "notify::connection-state", G_CALLBACK(on_connection_state_static),
                     this);
}

void WebRTCGstSession::on_connection_state_static(GstElement*, GParamSpec*, gpointer self) {
    // Emitted on GStreamer's threads; the frames are the loop's.
    auto* session = static_cast<WebRTCGstSession*>(self);
    g_main_context_invoke(
        session->main_loop_ != nullptr ? g_main_loop_get_context(session->main_loop_) : nullptr,
        on_connection_change_static, self);
}

gboolean WebRTCGstSession::on_connection_change_static(gpointer self) {
    static_cast<WebRTCGstSession*>(self)->on_connection_change();
    return G_SOURCE_REMOVE;
}

void WebRTCGstSession::on_connection_change() {
    if (webrtcbin_ == nullptr || connected_) return;
    GstWebRTCPeerConnectionState state = GST_WEBRTC_PEER_CONNECTION_STATE_NEW;
    g_object_get(webrtcbin_, "connection-state", &state, nullptr);
    if (state != GST_WEBRTC_PEER_CONNECTION_STATE_CONNECTED) return;
    connected_ = true;
    play_pending();
}

// The kept frames are replayed at once, time-stamped just before the present, two RTP clock
// ticks apart: the viewer decodes them as soon as they arrive, and the live frames after them
// keep their own timestamps, so that the viewer plays them no later than it would have had it
// joined at a keyframe.
void WebRTCGstSession::play_pending() {
    spdlog::info("Viewer connected: playing {} frames since the latest keyframe",
                 pending_.frames().size());
    if (pending_.empty()) return;
    const GstObjectPtr<GstClock> clock(gst_element_get_clock(pipeline_.get()));
    const GstClockTime now =
        clock ? gst_clock_get_time(clock.get()) - gst_element_get_base_time(pipeline_.get()) : 0;
    const size_t count = pending_.frames().size();
    for (size_t i = 0; i < count; ++i) {
        const PendingFrame& frame = pending_.frames()[i];
        GstBuffer* buffer = gst_buffer_copy(frame.buffer.get());
        const GstClockTime back = (count - i) * kReplaySpacingNs;
        GST_BUFFER_PTS(buffer) = now > back ? now - back : 0;
        GST_BUFFER_DTS(buffer) = GST_BUFFER_PTS(buffer);
        push_frame(buffer, frame.detections);
    }
    pending_.reset();
}

void WebRTCGstSession::launch_gst_pipeline(uint8_t format) {
    const CodecElements* codec = codec_elements(format);
    if (codec == nullptr) {
        spdlog::debug("Unsupported codec type {}", unsigned{format});
        return;
    }

    GstElement* appsrc =
        require(gst_element_factory_make("appsrc", "appsrc"), "_appsrc != nullptr");
    GstElement* identity =
        require(gst_element_factory_make("identity", "identity"), "identity != nullptr");
    const GstCapsPtr video_caps(
        require(gst_caps_from_string(codec->video_caps), "video_caps != nullptr"));
    GstElement* payloader =
        require(gst_element_factory_make(codec->payloader_factory, "pay"), "_rtppay != nullptr");
    const GstCapsPtr rtp_caps(
        require(gst_caps_from_string(codec->rtp_caps), "apprtp_caps != nullptr"));
    GstElement* apprtp =
        require(gst_element_factory_make("capssetter", "apprtp"), "apprtp != nullptr");
    GstElement* webrtcbin =
        require(gst_element_factory_make("webrtcbin", "webrtcbin"), "_webrtcbin != nullptr");
    GstObjectPtr<GstElement> pipeline(
        GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("test-pipeline"))));

    gst_bin_add_many(GST_BIN(pipeline.get()), appsrc, identity, payloader, apprtp, webrtcbin,
                     nullptr);
    if (!gst_element_link_many(appsrc, identity, payloader, apprtp, webrtcbin, nullptr)) {
        fail_session("Could not create WebRTC pipeline\n");
    }

    g_object_set(appsrc, "format", GST_FORMAT_TIME, "is-live", TRUE, "leaky-type", 2, "stream-type",
                 0, "do-timestamp", TRUE, "caps", video_caps.get(), nullptr);
    g_object_set(identity, "check-imperfect-timestamp", TRUE, "silent", FALSE, nullptr);
    g_object_set(payloader, "mtu", kPayloaderMtu, nullptr);
    g_object_set(apprtp, "caps", rtp_caps.get(), nullptr);
    // With max-bundle the data channel shares the video's transport and the offer carries the
    // BUNDLE group; otherwise its m-line is bundle-only without a group, and peers other than
    // browsers never open the channel.
    g_object_set(webrtcbin, "stun-server", stun_server_.c_str(), "turn-server",
                 turn_server_.c_str(), "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE,
                 nullptr);

    GArray* transceivers = nullptr;
    g_signal_emit_by_name(webrtcbin, "get-transceivers", &transceivers);
    if (transceivers == nullptr || transceivers->len == 0) {
        fail_session("transceivers != nullptr && transceivers->len > 0");
    }
    // A lost packet would otherwise cost the viewer every frame up to the next keyframe: the
    // offer asks for NACK feedback and an RTX stream, served from the sent-packet history.
    for (guint i = 0; i < transceivers->len; ++i) {
        g_object_set(g_array_index(transceivers, GstWebRTCRTPTransceiver*, i), "do-nack", TRUE,
                     nullptr);
    }
    g_array_unref(transceivers);
    g_signal_connect(pipeline.get(), "deep-element-added", G_CALLBACK(size_rtx_history_static),
                     nullptr);

    pipeline_ = std::move(pipeline);
    set_webrtcbin(webrtcbin);
    payloader_ = payloader;
    appsrc_ = appsrc;
    add_ice_local_addresses();
    guard_payloader_input();

    g_signal_connect(webrtcbin, "on-negotiation-needed",
                     G_CALLBACK(gst_on_negotiation_needed_static), this);
    g_signal_connect(webrtcbin, "on-ice-candidate", G_CALLBACK(gst_on_ice_candidate_static), this);
    g_signal_connect(webrtcbin, "on-data-channel", G_CALLBACK(gst_on_data_channel_static), this);

    bus_.reset(gst_pipeline_get_bus(GST_PIPELINE(pipeline_.get())));
    gst_bus_add_watch(bus_.get(), bus_call_static, this);

    GSource* timer =
        require(g_timeout_source_new_seconds(kIceCheckPeriodS), "_ice_check_timeout_gsource");
    g_source_set_callback(timer, on_check_ice_state_timer_static, this, nullptr);
    g_source_attach(timer, main_loop_ != nullptr ? g_main_loop_get_context(main_loop_) : nullptr);
    ice_check_source_.reset(timer);

    gst_element_set_state(pipeline_.get(), GST_STATE_READY);
    create_datachannel();
    gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
}

// webrtcbin builds the retransmission sender once the video is negotiated, inside a bin it hands
// to its rtpbin, and keeps only a few hundred packets by default: too little for a viewer a
// long round trip away at a high bitrate. The history is bounded by time instead.
void WebRTCGstSession::size_rtx_history_static(GstBin*, GstBin*, GstElement* element, gpointer) {
    const auto size = [](GstElement* candidate) {
        GstElementFactory* factory = gst_element_get_factory(candidate);
        if (factory == nullptr || std::strcmp(GST_OBJECT_NAME(factory), "rtprtxsend") != 0) return;
        guint kept_ms = 0;  // seen once as itself and once inside its bin
        g_object_get(candidate, "max-size-time", &kept_ms, nullptr);
        if (kept_ms == kRtxHistoryMs) return;
        g_object_set(candidate, "max-size-time", kRtxHistoryMs, "max-size-packets",
                     kRtxHistoryMaxPackets, nullptr);
        spdlog::info("Keeping {} ms of sent video for retransmission", kRtxHistoryMs);
    };
    size(element);
    if (!GST_IS_BIN(element)) return;
    GstIterator* children = gst_bin_iterate_recurse(GST_BIN(element));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(children, &item) == GST_ITERATOR_OK) {
        size(GST_ELEMENT(g_value_get_object(&item)));
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(children);
}

void WebRTCGstSession::add_ice_local_addresses() {
    if (ice_local_addresses_.empty()) return;
    GObject* agent = nullptr;
    g_object_get(webrtcbin_, "ice-agent", &agent, nullptr);
    if (agent == nullptr) return;
    const norvane::GObjectPtr<GObject> agent_ref(agent);
    for (const std::string& address : ice_local_addresses_) {
        gboolean added = FALSE;
        g_signal_emit_by_name(agent, "add-local-ip-address", address.c_str(), &added);
        if (!added) spdlog::error("Failed to add local ICE address {}", address);
    }
}

// A frame the payloader cannot parse (a damaged or empty frame from the drone) makes it return
// an error, which would stop appsrc's streaming thread and freeze this viewer's video for good.
// Only that frame is lost: the payloader takes the next one as usual.
void WebRTCGstSession::guard_payloader_input() {
    const norvane::GstObjectPtr<GstPad> pad(gst_element_get_static_pad(payloader_, "sink"));
    if (!pad) return;
    payloader_chain_ = GST_PAD_CHAINFUNC(pad.get());
    gst_pad_set_chain_function_full(pad.get(), payloader_chain_static, this, nullptr);
}

GstFlowReturn WebRTCGstSession::payloader_chain_static(GstPad* pad, GstObject* parent,
                                                       GstBuffer* buffer) {
    auto* self = static_cast<WebRTCGstSession*>(pad->chaindata);
    if (const auto* detections = static_cast<const Detections*>(
            gst_mini_object_get_qdata(GST_MINI_OBJECT(buffer), detections_quark()))) {
        guint rtp_timestamp = 0;
        g_object_get(parent, "timestamp", &rtp_timestamp, nullptr);
        self->datachannel_detections(rtp_timestamp,
                                     {const_cast<video::detection_item*>(detections->data()),
                                      static_cast<uint32_t>(detections->size())});
    }
    const GstFlowReturn result = self->payloader_chain_(pad, parent, buffer);
    if (result != GST_FLOW_ERROR) return result;
    spdlog::error("Frame dropped: the payloader could not packetize it");
    return GST_FLOW_OK;
}

void WebRTCGstSession::destroy_gst_pipeline() {
    if (!pipeline_) return;
    // First, so that an offer the old element completes while it stops is known to be stale.
    set_webrtcbin(nullptr);
    ice_check_source_.reset();
    gst_element_set_state(pipeline_.get(), GST_STATE_PAUSED);
    gst_element_set_state(pipeline_.get(), GST_STATE_READY);
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    gst_bus_remove_watch(bus_.get());
    bus_.reset();
    pipeline_.reset();
    payloader_ = nullptr;
    appsrc_ = nullptr;
    forget_channel();
}

gboolean WebRTCGstSession::bus_call_static(GstBus*, GstMessage* message, gpointer self) {
    return static_cast<WebRTCGstSession*>(self)->bus_call(message);
}

gboolean WebRTCGstSession::bus_call(GstMessage* message) {
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
            std::printf("End of stream\n");
            break;
        case GST_MESSAGE_ERROR: {
            GError* error = nullptr;
            gst_message_parse_error(message, &error, nullptr);
            std::fprintf(stderr, "Error: %s\n", error != nullptr ? error->message : "");
            g_clear_error(&error);
            break;
        }
        default:
            break;
    }
    return TRUE;
}

}  // namespace kelvra
