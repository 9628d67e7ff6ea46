#include "support/webrtc_viewer.hpp"

#include <gst/app/gstappsink.h>
#include <gst/sdp/sdp.h>

#include <stdexcept>

namespace kelvra::testing {

namespace {

using norvane::GCharPtr;
using norvane::GstObjectPtr;
using norvane::GstPromisePtr;
using DescriptionPtr =
    std::unique_ptr<GstWebRTCSessionDescription, decltype(&gst_webrtc_session_description_free)>;
using ErrorPtr = std::unique_ptr<GError, decltype(&g_error_free)>;

// The encoding name of an RTP stream pad. The pad may not have seen its caps event yet when it
// is announced, so ask upstream when it has no current caps.
std::string encoding_name_of(GstPad* pad) {
    norvane::GstCapsPtr caps(gst_pad_get_current_caps(pad));
    if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
    if (!caps || gst_caps_is_empty(caps.get())) return {};
    const gchar* name =
        gst_structure_get_string(gst_caps_get_structure(caps.get(), 0), "encoding-name");
    return name != nullptr ? name : "";
}

}  // namespace

WebrtcViewer::WebrtcViewer() {
    gst_init(nullptr, nullptr);
    pipeline_.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("viewer"))));
    GstElement* webrtc = gst_element_factory_make("webrtcbin", nullptr);
    if (webrtc == nullptr) throw std::runtime_error("webrtc viewer: no element webrtcbin");
    webrtc_.reset(GST_ELEMENT(gst_object_ref_sink(webrtc)));
    gst_util_set_object_arg(G_OBJECT(webrtc), "bundle-policy", "max-bundle");
    gst_bin_add(GST_BIN(pipeline_.get()), webrtc);

    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtc, "ice-agent", &ice, nullptr);
    const GstObjectPtr<GstWebRTCICE> agent(ice);
    // The agent leaves loopback out unless told about it, and the tests run where loopback is
    // all there is.
    gboolean added = FALSE;
    g_signal_emit_by_name(agent.get(), "add-local-ip-address", "127.0.0.1", &added);
    if (!added) throw std::runtime_error("webrtc viewer: ICE agent refused 127.0.0.1");

    g_signal_connect(webrtc, "on-ice-candidate",
                     G_CALLBACK(+[](GstElement*, guint mline, gchar* candidate, gpointer self) {
                         static_cast<WebrtcViewer*>(self)->update([&](State& state) {
                             state.local_candidates.emplace_back(mline, candidate);
                         });
                     }),
                     this);
    g_signal_connect(webrtc, "pad-added", G_CALLBACK(+[](GstElement*, GstPad* pad, gpointer self) {
                         static_cast<WebrtcViewer*>(self)->on_pad_added(pad);
                     }),
                     this);
    g_signal_connect(webrtc, "on-data-channel",
                     G_CALLBACK(+[](GstElement*, GstWebRTCDataChannel* channel, gpointer self) {
                         auto* viewer = static_cast<WebrtcViewer*>(self);
                         gchar* label = nullptr;
                         g_object_get(channel, "label", &label, nullptr);
                         const GCharPtr owned(label);
                         // Connected before this handler returns, so no message of the channel is
                         // missed.
                         g_signal_connect(
                             channel, "on-message-string",
                             G_CALLBACK(+[](GstWebRTCDataChannel*, gchar* text, gpointer self) {
                                 static_cast<WebrtcViewer*>(self)->update([&](State& state) {
                                     state.texts.emplace_back(text != nullptr ? text : "");
                                 });
                             }),
                             self);
                         viewer->update([&](State& state) {
                             if (state.channel)
                                 g_signal_handlers_disconnect_by_data(state.channel.get(), self);
                             state.channel.reset(GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel)));
                             state.label = label != nullptr ? label : "";
                         });
                     }),
                     this);
    // Errors and warnings are recorded on the thread that posts them, so no main loop is needed.
    const GstObjectPtr<GstBus> bus(gst_pipeline_get_bus(GST_PIPELINE(pipeline_.get())));
    gst_bus_set_sync_handler(
        bus.get(),
        [](GstBus*, GstMessage* message, gpointer self) {
            const bool is_error = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
            if (!is_error && GST_MESSAGE_TYPE(message) != GST_MESSAGE_WARNING) return GST_BUS_DROP;
            GError* error = nullptr;
            gchar* debug = nullptr;
            (is_error ? gst_message_parse_error : gst_message_parse_warning)(message, &error,
                                                                             &debug);
            const ErrorPtr owned(error, g_error_free);
            const GCharPtr owned_debug(debug);
            static_cast<WebrtcViewer*>(self)->record_error(
                std::string(is_error ? "bus error from " : "bus warning from ") +
                GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) + ": " + error->message +
                (debug != nullptr ? std::string(" (") + debug + ")" : ""));
            return GST_BUS_DROP;
        },
        this, nullptr);
    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        stop();
        throw std::runtime_error("webrtc viewer: pipeline does not start");
    }
}

void WebrtcViewer::stop() {
    // Once the pipeline is down webrtcbin, libnice and the streaming threads have ended, so no
    // callback can reach this object any more.
    gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    g_signal_handlers_disconnect_by_data(webrtc_.get(), this);
    {
        const std::lock_guard lock(mutex_);
        if (state_.channel) g_signal_handlers_disconnect_by_data(state_.channel.get(), this);
    }
    const GstObjectPtr<GstBus> bus(gst_pipeline_get_bus(GST_PIPELINE(pipeline_.get())));
    gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
}

GstPromisePtr WebrtcViewer::negotiate(const char* signal, gpointer argument) {
    // webrtcbin replies on its own thread, so waiting here blocks none of its work.
    GstPromisePtr promise(gst_promise_new());
    g_signal_emit_by_name(webrtc_.get(), signal, argument, promise.get());
    std::string failure = "no reply";
    if (gst_promise_wait(promise.get()) == GST_PROMISE_RESULT_REPLIED) {
        const GstStructure* reply = gst_promise_get_reply(promise.get());
        if (reply == nullptr || !gst_structure_has_field(reply, "error")) return promise;
        GError* error = nullptr;
        gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr);
        const ErrorPtr owned(error, g_error_free);
        failure = error != nullptr ? error->message : "failed";
    }
    record_error(std::string(signal) + ": " + failure);
    update([](State& state) { state.negotiation_failed = true; });
    return nullptr;
}

void WebrtcViewer::apply_offer(const std::string& sdp) {
    // The SDP parser takes almost any text, so an offer must also have a media section.
    GstSDPMessage* parsed = nullptr;
    const GstSDPResult result =
        sdp.empty() ? GST_SDP_EINVAL : gst_sdp_message_new_from_text(sdp.c_str(), &parsed);
    std::unique_ptr<GstSDPMessage, decltype(&gst_sdp_message_free)> message(parsed,
                                                                            gst_sdp_message_free);
    if (result != GST_SDP_OK || gst_sdp_message_medias_len(message.get()) == 0) {
        throw std::invalid_argument("webrtc viewer: offer is no SDP with media: " + sdp);
    }
    const DescriptionPtr offer(
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, message.release()),
        gst_webrtc_session_description_free);
    if (!negotiate("set-remote-description", offer.get())) return;
    const GstPromisePtr created = negotiate("create-answer", nullptr);
    if (!created) return;
    GstWebRTCSessionDescription* answer = nullptr;
    gst_structure_get(gst_promise_get_reply(created.get()), "answer",
                      GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &answer, nullptr);
    const DescriptionPtr owned(answer, gst_webrtc_session_description_free);
    if (!owned) {
        record_error("create-answer: reply holds no answer");
        return;
    }
    const GCharPtr text(gst_sdp_message_as_text(answer->sdp));
    if (negotiate("set-local-description", answer)) {
        update([&](State& state) { state.answer = text.get(); });
    }
}

std::optional<std::string> WebrtcViewer::wait_for_answer(Timeout timeout) {
    wait_until(timeout,
               [](const State& s) { return s.answer.has_value() || s.negotiation_failed; });
    return read(&State::answer);
}

void WebrtcViewer::add_remote_candidate(uint32_t mline, const std::string& candidate) {
    g_signal_emit_by_name(webrtc_.get(), "add-ice-candidate", mline, candidate.c_str());
}

void WebrtcViewer::on_pad_added(GstPad* pad) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    const std::string encoding = encoding_name_of(pad);
    update([&](State& state) { state.encoding = encoding; });
    // Something must take a stream the viewer cannot show, or webrtcbin fails on "not linked".
    std::string chain = "fakesink";
    if (encoding == "VP8" || encoding == "VP9") {
        const std::string codec = encoding == "VP8" ? "vp8" : "vp9";
        chain = "rtp" + codec + "depay ! " + codec + "dec ! videoconvert ! appsink name=frames";
    } else {
        record_error("viewer cannot decode a stream of encoding '" + encoding + "'");
    }
    // Frames count as they are decoded; waiting for the clock would only add latency, and the
    // pipeline is already playing, so the sink must not wait for preroll either.
    chain += " sync=false async=false";
    GError* error = nullptr;
    GstElement* bin = gst_parse_bin_from_description(chain.c_str(), TRUE, &error);
    const ErrorPtr owned(error, g_error_free);
    if (bin == nullptr) {
        record_error("viewer: no decoding chain: " + std::string(error ? error->message : chain));
        return;
    }
    gst_bin_add(GST_BIN(pipeline_.get()), bin);
    if (const GstObjectPtr<GstElement> sink{gst_bin_get_by_name(GST_BIN(bin), "frames")}) {
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = [](GstAppSink* appsink, gpointer self) {
            const std::unique_ptr<GstSample, decltype(&gst_sample_unref)> sample(
                gst_app_sink_pull_sample(appsink), gst_sample_unref);
            if (!sample) return GST_FLOW_OK;
            int width = 0;
            int height = 0;
            if (GstCaps* caps = gst_sample_get_caps(sample.get()); caps != nullptr) {
                const GstStructure* format = gst_caps_get_structure(caps, 0);
                gst_structure_get_int(format, "width", &width);
                gst_structure_get_int(format, "height", &height);
            }
            static_cast<WebrtcViewer*>(self)->update([&](State& state) {
                ++state.frames;
                state.width = width;
                state.height = height;
            });
            return GST_FLOW_OK;
        };
        gst_app_sink_set_callbacks(GST_APP_SINK(sink.get()), &callbacks, this, nullptr);
    }
    gst_element_sync_state_with_parent(bin);
    const GstObjectPtr<GstPad> input(gst_element_get_static_pad(bin, "sink"));
    if (gst_pad_link(pad, input.get()) != GST_PAD_LINK_OK) {
        record_error("viewer: cannot link webrtcbin's " + encoding + " stream");
    }
}

std::string WebrtcViewer::state_of(const char* property) const {
    // Read without our lock held, so that webrtcbin's lock is never taken while holding ours.
    int value = 0;
    g_object_get(webrtc_.get(), property, &value, nullptr);
    GParamSpec* spec = g_object_class_find_property(G_OBJECT_GET_CLASS(webrtc_.get()), property);
    const GEnumValue* entry = g_enum_get_value(G_PARAM_SPEC_ENUM(spec)->enum_class, value);
    return entry != nullptr ? entry->value_nick : std::to_string(value);
}

std::string WebrtcViewer::describe() const {
    std::string text = "viewer: ice=" + state_of("ice-connection-state") +
                       " peer=" + connection_state() +
                       " gathering=" + state_of("ice-gathering-state");
    const std::lock_guard lock(mutex_);
    const State& s = state_;
    text += std::string(" answer=") + (s.answer ? "set" : "none") +
            " stream=" + (s.encoding.empty() ? "none" : s.encoding) +
            " frames=" + std::to_string(s.frames) +
            " channel=" + (s.channel ? "'" + s.label + "'" : "none") +
            " texts=" + std::to_string(s.texts.size());
    for (const std::string& error : s.errors) text += "; " + error;
    return text;
}

}  // namespace kelvra::testing
