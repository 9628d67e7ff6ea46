#pragma once

// The answering side of a WebRTC session, as a browser showing a drone's video would be: it
// takes the offer, answers, decodes the video it receives and keeps the texts of the data
// channel the offerer opens, so that a test can check what a viewer would have got.
//
// webrtcbin calls back on its own threads. Every public call is thread-safe and every wait ends
// at a time-out (or, in apply_offer, at webrtcbin's reply), so the test thread can simply block.

// The WebRTC library of GStreamer warns on every include unless told that its API may change.
#ifndef GST_USE_UNSTABLE_API
#define GST_USE_UNSTABLE_API
#endif
#include <gst/gst.h>
#include <gst/webrtc/webrtc.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kelvra/norvane/webrtc/gst_ref.hpp"

namespace kelvra::testing {

class WebrtcViewer {
public:
    using Timeout = std::chrono::milliseconds;
    // m-line index and the candidate line as webrtcbin writes it ("candidate:1 1 UDP ...").
    using Candidate = std::pair<uint32_t, std::string>;
    static constexpr Timeout kDefaultTimeout{10000};

    // Starts a webrtcbin with max-bundle; std::runtime_error when it cannot.
    WebrtcViewer();
    // Stops the pipeline; no callback runs after it returns.
    ~WebrtcViewer() { stop(); }
    WebrtcViewer(const WebrtcViewer&) = delete;
    WebrtcViewer& operator=(const WebrtcViewer&) = delete;

    // --- Signalling ---
    // Sets the offer as remote description, then creates the answer and sets it as local
    // description, waiting for each step; wait_for_answer() returns its text. Throws
    // std::invalid_argument when `sdp` is no SDP with a media section; later failures are
    // listed by describe().
    void apply_offer(const std::string& sdp);
    // The answer, once it is the local description; empty after `timeout` or when negotiation
    // failed.
    std::optional<std::string> wait_for_answer(Timeout timeout = kDefaultTimeout);
    // A candidate of the offerer. Before the offer is applied webrtcbin keeps it for later.
    void add_remote_candidate(uint32_t mline, const std::string& candidate);
    // Local candidates gathered since the last call, in the order webrtcbin reported them.
    std::vector<Candidate> take_local_candidates() {
        const std::lock_guard lock(mutex_);
        return std::exchange(state_.local_candidates, {});
    }

    // --- Video ---
    // True once at least `count` frames have been decoded.
    bool wait_for_decoded_frames(uint64_t count, Timeout timeout = kDefaultTimeout) {
        return wait_until(timeout, [count](const State& s) { return s.frames >= count; });
    }
    uint64_t decoded_frames() const { return read(&State::frames); }
    // Size of the last decoded frame; 0 before the first.
    int frame_width() const { return read(&State::width); }
    int frame_height() const { return read(&State::height); }
    // Encoding name of the received RTP stream ("VP8", "VP9"); empty before it arrives.
    std::string encoding_name() const { return read(&State::encoding); }

    // --- Data channel ---
    // True once at least `count` texts have been received.
    bool wait_for_texts(size_t count, Timeout timeout = kDefaultTimeout) {
        return wait_until(timeout, [count](const State& s) { return s.texts.size() >= count; });
    }
    // Every text received on the data channel, in order.
    std::vector<std::string> texts() const { return read(&State::texts); }

    // --- Diagnosis ---
    // Latest peer connection state as webrtcbin reported it ("new", "connected", ...).
    std::string connection_state() const { return state_of("connection-state"); }
    // One line with the states webrtcbin reported, what arrived, and the failed negotiation
    // steps, bus errors and warnings and streams the viewer cannot show, for failure messages.
    std::string describe() const;

private:
    struct State {
        std::optional<std::string> answer;
        bool negotiation_failed = false;
        std::vector<Candidate> local_candidates;
        std::string encoding;
        uint64_t frames = 0;
        int width = 0;
        int height = 0;
        norvane::GObjectPtr<GstWebRTCDataChannel> channel;
        std::string label;
        std::vector<std::string> texts;
        std::vector<std::string> errors;
    };

    template <typename T>
    T read(T State::*field) const {
        const std::lock_guard lock(mutex_);
        return state_.*field;
    }
    // Changes the state under the lock, then wakes every waiter.
    template <typename Change>
    void update(Change change) {
        {
            const std::lock_guard lock(mutex_);
            change(state_);
        }
        changed_.notify_all();
    }
    template <typename Predicate>
    bool wait_until(Timeout timeout, Predicate predicate) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return predicate(state_); });
    }
    void record_error(std::string text) {
        update([&](State& state) { state.errors.push_back(std::move(text)); });
    }
    // Emits `signal` with `argument` and a promise and waits for its reply; records the failure
    // and returns null when there was none or it holds an error.
    norvane::GstPromisePtr negotiate(const char* signal, gpointer argument);
    void stop();
    void on_pad_added(GstPad* pad);
    // Nick of one of webrtcbin's state properties ("connection-state", ...).
    std::string state_of(const char* property) const;

    norvane::GstObjectPtr<GstElement> pipeline_;
    norvane::GstObjectPtr<GstElement> webrtc_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    State state_;  // guarded by `mutex_`
};

}  // namespace kelvra::testing
