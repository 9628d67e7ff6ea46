#include "support/webrtc_viewer.hpp"

#include <gst/sdp/sdp.h>

#include <stdexcept>
#include <string_view>

namespace kelvra::testing {

namespace {

using CapsRef = GRef<GstCaps, gst_caps_unref>;
using SampleRef = GRef<GstSample, gst_sample_unref>;
using PromiseRef = GRef<GstPromise, gst_promise_unref>;
using DescriptionRef = GRef<GstWebRTCSessionDescription, gst_webrtc_session_description_free>;
using EnumClassRef = GRef<GEnumClass, g_type_class_unref>;
using GChars = GRef<gchar, g_free>;

// A new element, or null when its plugin is not installed.
ElementRef make_element(const char* factory) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (element == nullptr) return nullptr;
    return ElementRef(GST_ELEMENT(gst_object_ref_sink(element)));
}

std::string enum_nick(GType type, int value) {
    const EnumClassRef klass(static_cast<GEnumClass*>(g_type_class_ref(type)));
    const GEnumValue* entry = g_enum_get_value(klass.get(), value);
    return entry != nullptr ? entry->value_nick : std::to_string(value);
}

// The encoding name of an RTP stream pad. The pad may not have seen its caps event yet when it
// is announced, so ask upstream when it has no current caps.
std::string encoding_name_of(GstPad* pad) {
    CapsRef caps(gst_pad_get_current_caps(pad));
    if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
    if (!caps || gst_caps_is_empty(caps.get())) return {};
    const gchar* name =
        gst_structure_get_string(gst_caps_get_structure(caps.get(), 0), "encoding-name");
    return name != nullptr ? name : "";
}

}  // namespace

WebrtcViewer::WebrtcViewer() {
    try {
        start();
    } catch (...) {
        stop();
        throw;
    }
}

WebrtcViewer::~WebrtcViewer() {
    stop();
}

void WebrtcViewer::start() {
    gst_init(nullptr, nullptr);
    context_.reset(g_main_context_new());
    loop_.reset(g_main_loop_new(context_.get(), FALSE));

    pipeline_.reset(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new("viewer"))));
    webrtc_ = make_element("webrtcbin");
    if (!webrtc_) throw std::runtime_error("webrtc viewer: no element webrtcbin");
    gst_util_set_object_arg(G_OBJECT(webrtc_.get()), "bundle-policy", "max-bundle");
    gst_bin_add(GST_BIN(pipeline_.get()), webrtc_.get());

    GstWebRTCICE* ice = nullptr;
    g_object_get(webrtc_.get(), "ice-agent", &ice, nullptr);
    const GRef<GstWebRTCICE, gst_object_unref> agent(ice);
    // The agent leaves loopback out unless told about it, and the tests run where loopback is
    // all there is.
    gboolean added = FALSE;
    g_signal_emit_by_name(agent.get(), "add-local-ip-address", "127.0.0.1", &added);
    if (!added) throw std::runtime_error("webrtc viewer: ICE agent refused 127.0.0.1");

    GstElement* webrtc = webrtc_.get();
    g_signal_connect(webrtc, "on-ice-candidate", G_CALLBACK(on_ice_candidate_static), this);
    g_signal_connect(webrtc, "pad-added", G_CALLBACK(on_pad_added_static), this);
    g_signal_connect(webrtc, "on-data-channel", G_CALLBACK(on_data_channel_static), this);
    for (const char* state : {"notify::ice-connection-state", "notify::connection-state",
                              "notify::ice-gathering-state"}) {
        g_signal_connect(webrtc, state, G_CALLBACK(on_state_notify_static), this);
    }

    const GRef<GstBus, gst_object_unref> bus(gst_pipeline_get_bus(GST_PIPELINE(pipeline_.get())));
    bus_watch_.reset(gst_bus_create_watch(bus.get()));
    g_source_set_callback(bus_watch_.get(), G_SOURCE_FUNC(on_bus_message_static), this, nullptr);
    g_source_attach(bus_watch_.get(), context_.get());
    loop_thread_ = std::thread(run_loop_static, this);

    if (gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        throw std::runtime_error("webrtc viewer: pipeline does not start");
    }
}

void WebrtcViewer::stop() {
    // Once the pipeline is down webrtcbin, libnice and the streaming threads have ended, so no
    // callback can reach this object any more.
    if (pipeline_) gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
    if (webrtc_) g_signal_handlers_disconnect_by_data(webrtc_.get(), this);
    {
        const std::lock_guard lock(mutex_);
        if (channel_) g_signal_handlers_disconnect_by_data(channel_.get(), this);
    }
    if (loop_thread_.joinable()) {
        // Quitting from a source of the loop's own context cannot race with the loop's start.
        const GRef<GSource, g_source_unref> quit(g_idle_source_new());
        g_source_set_callback(
            quit.get(),
            [](gpointer loop) -> gboolean {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_.get(), nullptr);
        g_source_attach(quit.get(), context_.get());
        loop_thread_.join();
    }
    if (bus_watch_) g_source_destroy(bus_watch_.get());
}

void WebrtcViewer::run_loop() {
    g_main_context_push_thread_default(context_.get());
    g_main_loop_run(loop_.get());
    g_main_context_pop_thread_default(context_.get());
}

void WebrtcViewer::record_error(std::string text) {
    {
        const std::lock_guard lock(mutex_);
        errors_.push_back(std::move(text));
    }
    changed_.notify_all();
}

template <typename Predicate>
bool WebrtcViewer::wait_until(Timeout timeout, Predicate predicate) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, predicate);
}

bool WebrtcViewer::promise_succeeded(GstPromise* promise, const char* step) {
    if (gst_promise_wait(promise) != GST_PROMISE_RESULT_REPLIED) {
        record_error(std::string(step) + ": no reply");
    } else {
        const GstStructure* reply = gst_promise_get_reply(promise);
        GError* error = nullptr;
        if (reply == nullptr || !gst_structure_has_field(reply, "error")) return true;
        gst_structure_get(reply, "error", G_TYPE_ERROR, &error, nullptr);
        const GRef<GError, g_error_free> owned(error);
        record_error(std::string(step) + ": " + (error != nullptr ? error->message : "failed"));
    }
    {
        const std::lock_guard lock(mutex_);
        negotiation_failed_ = true;
    }
    changed_.notify_all();
    return false;
}

gboolean WebrtcViewer::on_bus_message_static(GstBus*, GstMessage* message, gpointer self) {
    static_cast<WebrtcViewer*>(self)->on_bus_message(message);
    return G_SOURCE_CONTINUE;
}

void WebrtcViewer::on_bus_message(GstMessage* message) {
    const bool is_error = GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR;
    if (!is_error && GST_MESSAGE_TYPE(message) != GST_MESSAGE_WARNING) return;
    GError* error = nullptr;
    gchar* debug = nullptr;
    if (is_error) {
        gst_message_parse_error(message, &error, &debug);
    } else {
        gst_message_parse_warning(message, &error, &debug);
    }
    const GRef<GError, g_error_free> owned_error(error);
    const GChars owned_debug(debug);
    record_error(std::string(is_error ? "bus error from " : "bus warning from ") +
                 GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) + ": " + error->message +
                 (debug != nullptr ? std::string(" (") + debug + ")" : ""));
}

// --- Signalling ---

void WebrtcViewer::apply_offer(const std::string& sdp) {
    // The SDP parser takes almost any text, so an offer must also have a media section.
    GstSDPMessage* parsed = nullptr;
    const GstSDPResult result =
        sdp.empty() ? GST_SDP_EINVAL : gst_sdp_message_new_from_text(sdp.c_str(), &parsed);
    GRef<GstSDPMessage, gst_sdp_message_free> message(parsed);
    if (result != GST_SDP_OK || gst_sdp_message_medias_len(message.get()) == 0) {
        throw std::invalid_argument("webrtc viewer: offer is no SDP with media: " + sdp);
    }
    const DescriptionRef offer(
        gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_OFFER, message.release()));
    // webrtcbin keeps its own reference to a promise until it replies.
    const PromiseRef promise(gst_promise_new_with_change_func(on_offer_set_static, this, nullptr));
    g_signal_emit_by_name(webrtc_.get(), "set-remote-description", offer.get(), promise.get());
}

void WebrtcViewer::on_offer_set_static(GstPromise* promise, gpointer self) {
    static_cast<WebrtcViewer*>(self)->on_offer_set(promise);
}

void WebrtcViewer::on_offer_set(GstPromise* promise) {
    if (!promise_succeeded(promise, "set-remote-description")) return;
    const PromiseRef next(
        gst_promise_new_with_change_func(on_answer_created_static, this, nullptr));
    g_signal_emit_by_name(webrtc_.get(), "create-answer", nullptr, next.get());
}

void WebrtcViewer::on_answer_created_static(GstPromise* promise, gpointer self) {
    static_cast<WebrtcViewer*>(self)->on_answer_created(promise);
}

void WebrtcViewer::on_answer_created(GstPromise* promise) {
    if (!promise_succeeded(promise, "create-answer")) return;
    GstWebRTCSessionDescription* answer = nullptr;
    gst_structure_get(gst_promise_get_reply(promise), "answer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION,
                      &answer, nullptr);
    const DescriptionRef owned(answer);
    if (!owned) {
        record_error("create-answer: reply holds no answer");
        return;
    }
    const GChars text(gst_sdp_message_as_text(answer->sdp));
    {
        const std::lock_guard lock(mutex_);
        pending_answer_ = text.get();
    }
    const PromiseRef next(gst_promise_new_with_change_func(on_answer_set_static, this, nullptr));
    g_signal_emit_by_name(webrtc_.get(), "set-local-description", answer, next.get());
}

void WebrtcViewer::on_answer_set_static(GstPromise* promise, gpointer self) {
    static_cast<WebrtcViewer*>(self)->on_answer_set(promise);
}

void WebrtcViewer::on_answer_set(GstPromise* promise) {
    if (!promise_succeeded(promise, "set-local-description")) return;
    {
        const std::lock_guard lock(mutex_);
        answer_ = std::move(pending_answer_);
    }
    changed_.notify_all();
}

std::optional<std::string> WebrtcViewer::wait_for_answer(Timeout timeout) {
    wait_until(timeout, [this] { return answer_.has_value() || negotiation_failed_; });
    const std::lock_guard lock(mutex_);
    return answer_;
}

void WebrtcViewer::add_remote_candidate(uint32_t mline, const std::string& candidate) {
    g_signal_emit_by_name(webrtc_.get(), "add-ice-candidate", mline, candidate.c_str());
}

void WebrtcViewer::on_ice_candidate_static(GstElement*, guint mline, gchar* candidate,
                                           gpointer self) {
    static_cast<WebrtcViewer*>(self)->on_ice_candidate(mline, candidate);
}

void WebrtcViewer::on_ice_candidate(guint mline, const gchar* candidate) {
    {
        const std::lock_guard lock(mutex_);
        local_candidates_.emplace_back(mline, candidate);
    }
    changed_.notify_all();
}

std::vector<WebrtcViewer::Candidate> WebrtcViewer::take_local_candidates() {
    const std::lock_guard lock(mutex_);
    return std::exchange(local_candidates_, {});
}

void WebrtcViewer::on_state_notify_static(GObject*, GParamSpec* spec, gpointer self) {
    static_cast<WebrtcViewer*>(self)->on_state_notify(spec);
}

void WebrtcViewer::on_state_notify(GParamSpec* spec) {
    // Read here, on webrtcbin's thread, so that waiting never takes webrtcbin's lock while
    // holding ours.
    GValue value = G_VALUE_INIT;
    g_value_init(&value, spec->value_type);
    g_object_get_property(G_OBJECT(webrtc_.get()), spec->name, &value);
    std::string nick = enum_nick(spec->value_type, g_value_get_enum(&value));
    g_value_unset(&value);
    {
        const std::lock_guard lock(mutex_);
        const std::string_view name = spec->name;
        if (name == "ice-connection-state") {
            ice_connection_state_ = std::move(nick);
        } else if (name == "connection-state") {
            connection_state_ = std::move(nick);
        } else {
            ice_gathering_state_ = std::move(nick);
        }
    }
    changed_.notify_all();
}

// --- Video ---

void WebrtcViewer::on_pad_added_static(GstElement*, GstPad* pad, gpointer self) {
    static_cast<WebrtcViewer*>(self)->on_pad_added(pad);
}

void WebrtcViewer::on_pad_added(GstPad* pad) {
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    const std::string encoding = encoding_name_of(pad);
    {
        const std::lock_guard lock(mutex_);
        encoding_name_ = encoding;
    }
    std::vector<const char*> chain;
    if (encoding == "VP8") {
        chain = {"rtpvp8depay", "vp8dec", "videoconvert", "appsink"};
    } else if (encoding == "VP9") {
        chain = {"rtpvp9depay", "vp9dec", "videoconvert", "appsink"};
    } else {
        // Something must take the stream, or webrtcbin fails on "not linked".
        record_error("viewer cannot decode a stream of encoding '" + encoding + "'");
        chain = {"fakesink"};
    }

    std::vector<ElementRef> elements;
    for (const char* factory : chain) {
        elements.push_back(make_element(factory));
        if (!elements.back()) {
            record_error(std::string("viewer: no element ") + factory);
            return;
        }
    }
    GstElement* sink = elements.back().get();
    // Frames count as they are decoded; waiting for the clock would only add latency, and the
    // pipeline is already playing, so the sink must not wait for preroll either.
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    if (GST_IS_APP_SINK(sink)) {
        GstAppSinkCallbacks callbacks{};
        callbacks.new_sample = on_new_sample_static;
        gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, this, nullptr);
    }

    GstBin* bin = GST_BIN(pipeline_.get());
    for (size_t i = 0; i < elements.size(); ++i) {
        gst_bin_add(bin, elements[i].get());
        if (i > 0 && !gst_element_link(elements[i - 1].get(), elements[i].get())) {
            record_error("viewer: cannot link the decoding chain");
            return;
        }
    }
    for (const ElementRef& element : elements) gst_element_sync_state_with_parent(element.get());
    const GRef<GstPad, gst_object_unref> input(
        gst_element_get_static_pad(elements.front().get(), "sink"));
    if (gst_pad_link(pad, input.get()) != GST_PAD_LINK_OK) {
        record_error("viewer: cannot link webrtcbin's " + encoding + " stream");
    }
}

GstFlowReturn WebrtcViewer::on_new_sample_static(GstAppSink* sink, gpointer self) {
    return static_cast<WebrtcViewer*>(self)->on_new_sample(sink);
}

GstFlowReturn WebrtcViewer::on_new_sample(GstAppSink* sink) {
    const SampleRef sample(gst_app_sink_pull_sample(sink));
    if (!sample) return GST_FLOW_OK;
    int width = 0;
    int height = 0;
    if (GstCaps* caps = gst_sample_get_caps(sample.get()); caps != nullptr) {
        const GstStructure* format = gst_caps_get_structure(caps, 0);
        gst_structure_get_int(format, "width", &width);
        gst_structure_get_int(format, "height", &height);
    }
    {
        const std::lock_guard lock(mutex_);
        ++decoded_frames_;
        frame_width_ = width;
        frame_height_ = height;
    }
    changed_.notify_all();
    return GST_FLOW_OK;
}

bool WebrtcViewer::wait_for_decoded_frames(uint64_t count, Timeout timeout) {
    return wait_until(timeout, [this, count] { return decoded_frames_ >= count; });
}

uint64_t WebrtcViewer::decoded_frames() const {
    const std::lock_guard lock(mutex_);
    return decoded_frames_;
}

int WebrtcViewer::frame_width() const {
    const std::lock_guard lock(mutex_);
    return frame_width_;
}

int WebrtcViewer::frame_height() const {
    const std::lock_guard lock(mutex_);
    return frame_height_;
}

std::string WebrtcViewer::encoding_name() const {
    const std::lock_guard lock(mutex_);
    return encoding_name_;
}

// --- Data channel ---

void WebrtcViewer::on_data_channel_static(GstElement*, GstWebRTCDataChannel* channel,
                                          gpointer self) {
    static_cast<WebrtcViewer*>(self)->on_data_channel(channel);
}

void WebrtcViewer::on_data_channel(GstWebRTCDataChannel* channel) {
    gchar* label = nullptr;
    g_object_get(channel, "label", &label, nullptr);
    const GChars owned_label(label);
    // Connected before this handler returns, so no message of the channel is missed.
    g_signal_connect(channel, "on-message-string", G_CALLBACK(on_message_string_static), this);
    {
        const std::lock_guard lock(mutex_);
        if (channel_) g_signal_handlers_disconnect_by_data(channel_.get(), this);
        channel_.reset(GST_WEBRTC_DATA_CHANNEL(g_object_ref(channel)));
        channel_label_ = label != nullptr ? label : "";
    }
    changed_.notify_all();
}

void WebrtcViewer::on_message_string_static(GstWebRTCDataChannel*, gchar* text, gpointer self) {
    static_cast<WebrtcViewer*>(self)->on_message_string(text);
}

void WebrtcViewer::on_message_string(const gchar* text) {
    {
        const std::lock_guard lock(mutex_);
        texts_.emplace_back(text != nullptr ? text : "");
    }
    changed_.notify_all();
}

std::string WebrtcViewer::data_channel_label() const {
    const std::lock_guard lock(mutex_);
    return channel_label_;
}

bool WebrtcViewer::wait_for_texts(size_t count, Timeout timeout) {
    return wait_until(timeout, [this, count] { return texts_.size() >= count; });
}

std::vector<std::string> WebrtcViewer::texts() const {
    const std::lock_guard lock(mutex_);
    return texts_;
}

// --- Diagnosis ---

std::string WebrtcViewer::connection_state() const {
    const std::lock_guard lock(mutex_);
    return connection_state_;
}

std::string WebrtcViewer::describe() const {
    const std::lock_guard lock(mutex_);
    std::string text = "viewer: ice=" + ice_connection_state_ + " peer=" + connection_state_ +
                       " gathering=" + ice_gathering_state_ +
                       " answer=" + (answer_ ? "set" : "none") +
                       " stream=" + (encoding_name_.empty() ? "none" : encoding_name_) +
                       " frames=" + std::to_string(decoded_frames_) +
                       " channel=" + (channel_ ? "'" + channel_label_ + "'" : "none") +
                       " texts=" + std::to_string(texts_.size());
    for (const std::string& error : errors_) text += "; " + error;
    return text;
}

}  // namespace kelvra::testing
