#pragma once

// One simulated stream (one camera of one manet node): seals the fragments of every frame into
// datagrams, passes them through its impaired link, answers the gateway's retransmission requests
// from the shared frame history and counts the gateway's statistics.

#include <array>
#include <cstdint>
#include <deque>
#include <variant>

#include "bitrate_meter.hpp"
#include "feedback.hpp"
#include "frame_history.hpp"
#include "impaired_link.hpp"
#include "iv_source.hpp"
#include "kelvra/core/slice.hpp"
#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/msgs/video/video_datagram_codec.hpp"

namespace kelvra::norvane::sender {

using StreamAddress = msgs::video::DatagramAddress;

// Where released datagrams go: the stream's socket, or a test double.
class DatagramSink {
public:
    virtual ~DatagramSink() = default;
    virtual bool send(ConstSlice<uint8_t> datagram) = 0;
};

struct StreamSettings {
    StreamAddress address;
    uint32_t min_rtt_us = 50'000;
    uint32_t max_rtt_us = 50'000;
    int32_t flight_id = 1;
    msgs::video::VideoFormat format = msgs::video::VideoFormat::VP8;
    size_t truncate_to = 0;  // cut every datagram to this length (0: leave whole)
};

struct StreamCounters {
    uint64_t frames = 0;
    uint64_t fragments = 0;     // first transmissions, detections fragments included
    uint64_t datagrams = 0;     // written to the socket: duplicates and resends included
    uint64_t bytes = 0;         // of those datagrams
    uint64_t resends = 0;       // fragments sealed again for a request
    uint64_t stats = 0;         // `video_stats` received
    uint64_t requests = 0;      // `video_retransmit_request` received
    uint64_t unanswered = 0;    // requests for frames or fragments no longer (or never) kept
    uint64_t ignored = 0;       // datagrams that were neither
    uint64_t dropped = 0;       // lost by the impairments
    uint64_t duplicated = 0;    // sent twice by the impairments
    uint64_t send_errors = 0;   // failed sends and failed sealing
    uint32_t last_missing = 0;  // `missing_frames` of the latest statistics

    StreamCounters& operator+=(const StreamCounters& o) {
        frames += o.frames;
        fragments += o.fragments;
        datagrams += o.datagrams;
        bytes += o.bytes;
        resends += o.resends;
        stats += o.stats;
        requests += o.requests;
        unanswered += o.unanswered;
        ignored += o.ignored;
        dropped += o.dropped;
        duplicated += o.duplicated;
        send_errors += o.send_errors;
        last_missing += o.last_missing;
        return *this;
    }
};

class StreamSender {
public:
    StreamSender(const StreamSettings& settings, const ImpairmentSettings& impairments,
                 IvSource& ivs)
        : settings_(settings), ivs_(ivs), link_(impairments), delay_us_(impairments.delay_us) {}

    bool set_key(const uint8_t* key) { return cipher_.set_key(key); }
    const StreamSettings& settings() const { return settings_; }

    // Seals every fragment of the frame and queues it on the link.
    void send_frame(const StoredFrame& frame, int64_t now_us) {
        const auto fragments = frame.fragments();
        if (!fragments) {
            ++counters_.send_errors;
            return;
        }
        ++counters_.frames;
        for (uint16_t i = 0; i < fragments->count(); ++i) {
            ++counters_.fragments;
            submit(fragments->at(i), false, now_us);
        }
    }

    // Takes one datagram received from the gateway. Requests are served once the one-way delay
    // has passed, as if they had travelled that long.
    void on_feedback(ConstSlice<uint8_t> datagram, int64_t now_us) {
        const Feedback feedback = parse_feedback(datagram);
        if (const auto* request = std::get_if<msgs::video::video_retransmit_request>(&feedback)) {
            ++counters_.requests;
            pending_requests_.push_back({now_us + delay_us_, *request});
        } else if (const auto* stats = std::get_if<msgs::video::video_stats>(&feedback)) {
            ++counters_.stats;
            counters_.last_missing = stats->missing_frames;
        } else {
            ++counters_.ignored;
        }
    }

    // Resends the fragments of the requests that are due; returns how many were resent.
    size_t serve_requests(const FrameHistory& history, int64_t now_us) {
        size_t served = 0;
        while (!pending_requests_.empty() && pending_requests_.front().due_us <= now_us) {
            const auto request = pending_requests_.front().request;
            pending_requests_.pop_front();
            if (resend(history, request, now_us))
                ++served;
            else
                ++counters_.unanswered;
        }
        return served;
    }

    // Writes the datagrams that are due to `sink`.
    void flush(int64_t now_us, DatagramSink& sink) {
        link_.release_due(now_us, [&](ConstSlice<uint8_t> datagram) {
            if (sink.send(datagram)) {
                ++counters_.datagrams;
                counters_.bytes += datagram.size;
            } else {
                ++counters_.send_errors;
            }
        });
    }

    // Earliest time at which something is due: a datagram to release or a request to serve.
    std::optional<int64_t> next_due_us() const {
        std::optional<int64_t> due = link_.next_due_us();
        if (!pending_requests_.empty() && (!due || pending_requests_.front().due_us < *due))
            due = pending_requests_.front().due_us;
        return due;
    }

    bool idle() const { return link_.queued() == 0 && pending_requests_.empty(); }

    StreamCounters counters() const {
        StreamCounters c = counters_;
        c.dropped = link_.dropped();
        c.duplicated = link_.duplicated();
        return c;
    }

private:
    struct PendingRequest {
        int64_t due_us;
        msgs::video::video_retransmit_request request;
    };

    bool resend(const FrameHistory& history, const msgs::video::video_retransmit_request& request,
                int64_t now_us) {
        const StoredFrame* frame = history.find(request.sequence_number);
        if (frame == nullptr) return false;
        const auto fragments = frame->fragments();
        if (!fragments || request.fragment_id >= fragments->count()) return false;
        ++counters_.resends;
        submit(fragments->at(static_cast<uint16_t>(request.fragment_id)), true, now_us);
        return true;
    }

    void submit(const FragmentView& fragment, bool resend, int64_t now_us) {
        msgs::video::control_data control;
        control.sequence_number = control_sequence_++;
        control.minimal_roundtrip = settings_.min_rtt_us;
        control.maximum_roundtrip = settings_.max_rtt_us;
        control.flight_id = settings_.flight_id;
        control.bitrate_est = bitrate_.bits_per_second(now_us);
        control.video_format = static_cast<uint8_t>(settings_.format);
        msgs::video::DatagramIvs ivs;
        Slice<uint8_t> out{datagram_.data(), 0, datagram_.size()};
        size_t size = 0;
        if (ivs_.fill(ivs.control.data(), ivs.control.size()) &&
            ivs_.fill(ivs.payload.data(), ivs.payload.size())) {
            size = msgs::video::seal_video_datagram(settings_.address, control, fragment.info,
                                                    fragment.bytes, ivs, cipher_, out);
        }
        if (size == 0) {
            ++counters_.send_errors;
            return;
        }
        bitrate_.add(size, now_us);
        if (settings_.truncate_to != 0 && size > settings_.truncate_to)
            size = settings_.truncate_to;
        link_.submit({datagram_.data(), size}, resend, now_us);
    }

    StreamSettings settings_;
    IvSource& ivs_;
    manet::AesGcm cipher_;
    ImpairedLink link_;
    int64_t delay_us_;
    BitrateMeter bitrate_;
    std::deque<PendingRequest> pending_requests_;
    std::array<uint8_t, kMaxDatagramSize> datagram_{};
    uint32_t control_sequence_ = 0;  // one per sealed datagram, resends included
    StreamCounters counters_;
};

}  // namespace kelvra::norvane::sender
