#include "sender/stream_sender.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <set>
#include <vector>

#include "open_datagram.hpp"

namespace kelvra::norvane::sender {
namespace {

using testing::open_datagram;
using testing::OpenedDatagram;
using testing::request_datagram;

constexpr std::array<uint8_t, 16> kKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

class RecordingSink final : public DatagramSink {
public:
    bool send(ConstSlice<uint8_t> d) override {
        sent.emplace_back(d.begin(), d.end());
        return accept;
    }
    std::vector<OpenedDatagram> take() {
        std::vector<OpenedDatagram> out;
        for (const auto& d : sent) {
            auto o = open_datagram(d, kKey.data());
            EXPECT_TRUE(o) << "a datagram did not open with the stream key";
            if (o) out.push_back(*o);
        }
        sent.clear();
        return out;
    }

    std::vector<std::vector<uint8_t>> sent;
    bool accept = true;
};

ConstSlice<uint8_t> view(const std::vector<uint8_t>& v) {
    return {v.data(), v.size()};
}

class StreamSenderTest : public ::testing::Test {
protected:
    StreamSender& make(const ImpairmentSettings& impairments = {}) {
        sender_ = std::make_unique<StreamSender>(settings_, impairments, ivs_);
        EXPECT_TRUE(sender_->set_key(kKey.data()));
        return *sender_;
    }

    void send(uint32_t number, size_t size, bool key, uint32_t detections, int64_t now) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(number + i);
        StoredFrame& f = history_.store(number, key, view(bytes));
        if (detections > 0) {
            make_detections_fragment(number, detections, 320, 240, f.detections);
            f.with_detections = true;
        }
        sender_->send_frame(f, now);
    }

    const StreamSettings settings_{.address = {0x0000ABCD, 2},
                                   .min_rtt_us = 30'000,
                                   .max_rtt_us = 70'000,
                                   .flight_id = 5,
                                   .format = msgs::video::VideoFormat::VP9};
    RandomIvSource ivs_;
    FrameHistory history_{4};
    std::unique_ptr<StreamSender> sender_;
    RecordingSink sink_;
};

TEST_F(StreamSenderTest, SendsEveryFragmentWithTheStreamsControlData) {
    auto& s = make();
    send(0, 3000, true, 0, 1'000'000);
    send(1, 500, false, 3, 1'033'000);
    s.flush(1'033'000, sink_);
    // Every section of every datagram has an IV of its own.
    std::set<std::array<uint8_t, 12>> ivs;
    for (const auto& raw : sink_.sent) {
        for (const size_t at : {5, 55}) {
            std::array<uint8_t, 12> iv{};
            std::copy_n(raw.begin() + static_cast<ptrdiff_t>(at), iv.size(), iv.begin());
            ivs.insert(iv);
        }
    }
    EXPECT_EQ(ivs.size(), 2 * sink_.sent.size());
    const auto d = sink_.take();
    ASSERT_EQ(d.size(), 5u);  // 3 fragments, then 1 video and 1 detections fragment
    for (size_t i = 0; i < d.size(); ++i) {
        EXPECT_EQ(d[i].manet_addr, 0x0000ABCDu);
        EXPECT_EQ(d[i].camera_type, 2);
        EXPECT_EQ(d[i].control.sequence_number, i) << "one control sequence number per datagram";
        EXPECT_EQ(d[i].control.minimal_roundtrip, 30'000u);
        EXPECT_EQ(d[i].control.maximum_roundtrip, 70'000u);
        EXPECT_EQ(d[i].control.flight_id, 5);
        EXPECT_EQ(d[i].control.video_format, 2);
    }
    EXPECT_EQ(d[0].info.type, 1);
    EXPECT_EQ(d[4].info.type, 6);
    // The bitrate estimate grows with what was sent in the last second.
    EXPECT_EQ(d[0].control.bitrate_est, 0u);
    EXPECT_EQ(d[1].control.bitrate_est, 8u * (93 + 1400));
    EXPECT_EQ(s.counters().fragments, 5u);
    EXPECT_EQ(s.counters().bytes, 2u * 1493 + (93 + 200) + (93 + 500) + (93 + 37));
}

// A fragment is never sealed under an IV that the source could not make fresh.
TEST_F(StreamSenderTest, NothingIsSealedWithoutFreshIvs) {
    class NoIvs final : public IvSource {
    public:
        bool fill(uint8_t*, size_t) override { return false; }
    } no_ivs;
    sender_ = std::make_unique<StreamSender>(settings_, ImpairmentSettings{}, no_ivs);
    ASSERT_TRUE(sender_->set_key(kKey.data()));
    send(0, 10, true, 0, 0);
    sender_->flush(0, sink_);
    EXPECT_TRUE(sink_.sent.empty());
    EXPECT_EQ(sender_->counters().send_errors, 1u);
    sender_.reset();
}

TEST_F(StreamSenderTest, ResendsKeptFragmentsOnRequestAndCountsTheRest) {
    auto& s = make();
    send(1, 100, true, 2, 0);  // fragments 0 (video) and 1 (detections)
    send(7, 3000, false, 0, 0);
    s.flush(0, sink_);
    const auto first = sink_.take();
    ASSERT_EQ(first.size(), 5u);
    s.on_feedback(view(request_datagram(0, 0)), 10'000);  // never sent: an empty slot
    s.on_feedback(view(request_datagram(7, 1)), 10'000);
    s.on_feedback(view(request_datagram(1, 1)), 10'000);  // the detections fragment
    EXPECT_EQ(s.serve_requests(history_, 10'000), 2u);
    s.flush(10'000, sink_);
    const auto again = sink_.take();
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].info.sequence_number, 7u);
    EXPECT_EQ(again[0].info.fragment_id, 1);
    EXPECT_EQ(again[0].info.fragments_number, 3);
    EXPECT_EQ(again[0].fragment, first[3].fragment);
    EXPECT_EQ(again[0].control.sequence_number, 5u) << "fresh control data";
    EXPECT_EQ(again[1].info.type, 7);  // keyframe, whole-frame and detections bits
    EXPECT_EQ(again[1].fragment, first[1].fragment);
    EXPECT_EQ(s.counters().resends, 2u);
    EXPECT_EQ(s.counters().fragments, 5u) << "a resend is not a new fragment";

    for (uint32_t n = 2; n < 6; ++n) send(n, 10, false, 0, 0);  // evicts frames 1 and 7
    s.flush(0, sink_);
    sink_.take();
    s.on_feedback(view(request_datagram(1, 0)), 0);        // no longer kept
    s.on_feedback(view(request_datagram(5, 1)), 0);        // beyond the frame's fragments
    s.on_feedback(view(request_datagram(5, 0x10000)), 0);  // beyond any 16-bit fragment id
    s.on_feedback(view(request_datagram(99, 0)), 0);       // never sent
    EXPECT_EQ(s.serve_requests(history_, 0), 0u);
    EXPECT_EQ(s.counters().requests, 7u);
    EXPECT_EQ(s.counters().unanswered, 5u);
}

TEST_F(StreamSenderTest, MalformedFeedbackIsIgnoredSafely) {
    auto& s = make();
    // Statistics are read; anything malformed is counted and changes nothing.
    const std::vector<uint8_t> stats = {11, 12, 0, 0, 0, 3, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0};
    s.on_feedback(view(stats), 0);
    EXPECT_EQ(s.counters().last_missing, 3u);
    const std::vector<std::vector<uint8_t>> junk = {
        {},
        {12, 8, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0},     // one byte short of a request
        {12, 4, 0, 0, 0, 1, 0, 0, 0},              // announces too short a body
        {12, 0xff, 0xff, 0xff, 0xff, 1, 2, 3, 4},  // announces more than it holds
        {11, 12, 0, 0, 0, 3, 0, 0, 0},             // truncated statistics
    };
    for (const auto& d : junk) s.on_feedback(view(d), 0);
    EXPECT_EQ(s.counters().ignored, junk.size());
    EXPECT_EQ(s.counters().requests, 0u);
    EXPECT_EQ(s.counters().stats, 1u);
}

TEST_F(StreamSenderTest, RequestsAndResendsWaitOutTheOneWayDelayAndFailedSendsShow) {
    auto& s = make({.delay_us = 25'000});
    sink_.accept = false;
    send(0, 10, true, 0, 0);
    s.flush(25'000, sink_);
    EXPECT_EQ(sink_.sent.size(), 1u);
    s.on_feedback(view(request_datagram(0, 0)), 30'000);
    EXPECT_EQ(s.next_due_us(), 55'000);
    EXPECT_EQ(s.serve_requests(history_, 54'999), 0u);
    EXPECT_EQ(s.serve_requests(history_, 55'000), 1u);
    EXPECT_EQ(s.next_due_us(), 80'000);
    s.flush(80'000, sink_);
    EXPECT_EQ(sink_.sent.size(), 2u);  // the resend reaches the gateway a round trip later
    EXPECT_TRUE(s.idle());
    EXPECT_EQ(s.counters().send_errors, 2u);
    EXPECT_EQ(s.counters().datagrams, 0u) << "a refused datagram is not counted as sent";
}

}  // namespace
}  // namespace kelvra::norvane::sender
