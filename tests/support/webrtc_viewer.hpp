#pragma once

// The answering side of a WebRTC session, as a browser showing a drone's video would be: it
// takes the offer, answers, decodes the video it receives and keeps the texts of the data
// channel the offerer opens, so that a test can check what a viewer would have got.
//
// GLib work runs on a main loop of its own on a private thread; webrtcbin calls back on its own
// threads. Every public call is thread-safe and every wait ends at a time-out, so the test
// thread can simply block on it.

// The WebRTC library of GStreamer warns on every include unless told that its API may change.
#ifndef GST_USE_UNSTABLE_API
#define GST_USE_UNSTABLE_API
#endif
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kelvra::testing {

// Drops one GLib or GStreamer reference with `Release` (g_object_unref, gst_object_unref, ...).
template <auto Release>
struct ReleaseWith {
    template <typename T>
    void operator()(T* object) const noexcept {
        Release(object);
    }
};
template <typename T, auto Release>
using GRef = std::unique_ptr<T, ReleaseWith<Release>>;

using ElementRef = GRef<GstElement, gst_object_unref>;

class WebrtcViewer {
public:
    using Timeout = std::chrono::milliseconds;
    // m-line index and the candidate line as webrtcbin writes it ("candidate:1 1 UDP ...").
    using Candidate = std::pair<uint32_t, std::string>;
    static constexpr Timeout kDefaultTimeout{10000};

    // Starts the pipeline (a webrtcbin with max-bundle) and the main loop. Throws
    // std::runtime_error when an element is missing or the pipeline does not start.
    WebrtcViewer();
    // Stops the pipeline, then the main loop; no callback runs after it returns.
    ~WebrtcViewer();
    WebrtcViewer(const WebrtcViewer&) = delete;
    WebrtcViewer& operator=(const WebrtcViewer&) = delete;

    // --- Signalling ---
    // Sets the offer as remote description, then creates the answer and sets it as local
    // description; wait_for_answer() returns its text. Throws std::invalid_argument when `sdp`
    // is no SDP with a media section. Failures later on are listed by describe().
    void apply_offer(const std::string& sdp);
    // The answer, once it is the local description; empty after `timeout` or when negotiation
    // failed.
    std::optional<std::string> wait_for_answer(Timeout timeout = kDefaultTimeout);
    // A candidate of the offerer. Before the offer is applied webrtcbin keeps it for later.
    void add_remote_candidate(uint32_t mline, const std::string& candidate);
    // Local candidates gathered since the last call, in the order webrtcbin reported them.
    std::vector<Candidate> take_local_candidates();

    // --- Video ---
    // True once at least `count` frames have been decoded.
    bool wait_for_decoded_frames(uint64_t count, Timeout timeout = kDefaultTimeout);
    uint64_t decoded_frames() const;
    // Size of the last decoded frame; 0 before the first.
    int frame_width() const;
    int frame_height() const;
    // Encoding name of the received RTP stream ("VP8", "VP9"); empty before it arrives.
    std::string encoding_name() const;

    // --- Data channel ---
    std::string data_channel_label() const;
    // True once at least `count` texts have been received.
    bool wait_for_texts(size_t count, Timeout timeout = kDefaultTimeout);
    // Every text received on the data channel, in order.
    std::vector<std::string> texts() const;

    // --- Diagnosis ---
    // Latest peer connection state as webrtcbin reported it ("new", "connected", ...).
    std::string connection_state() const;
    // One line with the states webrtcbin reported, what arrived, and the failed negotiation
    // steps, bus errors and warnings and streams the viewer cannot show, for failure messages.
    std::string describe() const;

private:
    void start();
    void stop();
    void record_error(std::string text);
    template <typename Predicate>
    bool wait_until(Timeout timeout, Predicate predicate);
    // Checks a promise reply; records the failure of `step` and returns false when it failed.
    bool promise_succeeded(GstPromise* promise, const char* step);

    static void run_loop_static(WebrtcViewer* self) { self->run_loop(); }
    void run_loop();
    static gboolean on_bus_message_static(GstBus* bus, GstMessage* message, gpointer self);
    void on_bus_message(GstMessage* message);

    static void on_offer_set_static(GstPromise* promise, gpointer self);
    void on_offer_set(GstPromise* promise);
    static void on_answer_created_static(GstPromise* promise, gpointer self);
    void on_answer_created(GstPromise* promise);
    static void on_answer_set_static(GstPromise* promise, gpointer self);
    void on_answer_set(GstPromise* promise);
    static void on_ice_candidate_static(GstElement* webrtc, guint mline, gchar* candidate,
                                        gpointer self);
    void on_ice_candidate(guint mline, const gchar* candidate);
    static void on_state_notify_static(GObject* webrtc, GParamSpec* spec, gpointer self);
    void on_state_notify(GParamSpec* spec);

    static void on_pad_added_static(GstElement* webrtc, GstPad* pad, gpointer self);
    void on_pad_added(GstPad* pad);
    static GstFlowReturn on_new_sample_static(GstAppSink* sink, gpointer self);
    GstFlowReturn on_new_sample(GstAppSink* sink);

    static void on_data_channel_static(GstElement* webrtc, GstWebRTCDataChannel* channel,
                                       gpointer self);
    void on_data_channel(GstWebRTCDataChannel* channel);
    static void on_message_string_static(GstWebRTCDataChannel* channel, gchar* text, gpointer self);
    void on_message_string(const gchar* text);

    // Declared in the order of creation, so that they are released in reverse.
    GRef<GMainContext, g_main_context_unref> context_;
    GRef<GMainLoop, g_main_loop_unref> loop_;
    ElementRef pipeline_;
    ElementRef webrtc_;
    GRef<GSource, g_source_unref> bus_watch_;
    std::thread loop_thread_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Everything below is guarded by `mutex_`.
    GRef<GstWebRTCDataChannel, g_object_unref> channel_;
    std::string pending_answer_;
    std::optional<std::string> answer_;
    bool negotiation_failed_ = false;
    std::vector<Candidate> local_candidates_;
    std::string ice_connection_state_ = "new";
    std::string connection_state_ = "new";
    std::string ice_gathering_state_ = "new";
    std::string encoding_name_;
    uint64_t decoded_frames_ = 0;
    int frame_width_ = 0;
    int frame_height_ = 0;
    std::string channel_label_;
    std::vector<std::string> texts_;
    std::vector<std::string> errors_;
};

}  // namespace kelvra::testing
