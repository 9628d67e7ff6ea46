#include "../../../tools/sender/stream_sender.hpp"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "open_datagram.hpp"

namespace kelvra::norvane::sender {
namespace {

using testing::open_datagram;
using testing::OpenedDatagram;

constexpr std::array<uint8_t, 16> kKey = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

class RecordingSink final : public DatagramSink {
public:
    bool send(ConstSlice<uint8_t> d) override {
        sent.emplace_back(d.begin(), d.end());
        return accept;
    }
    std::vector<OpenedDatagram> opened() const {
        std::vector<OpenedDatagram> out;
        for (const auto& d : sent) {
            auto o = open_datagram(d, kKey.data());
            EXPECT_TRUE(o) << "a datagram did not open with the stream key";
            if (o) out.push_back(*o);
        }
        return out;
    }

    std::vector<std::vector<uint8_t>> sent;
    bool accept = true;
};

std::vector<uint8_t> request(uint32_t seq, uint32_t frag) {
    std::vector<uint8_t> d = {12, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    messgen::store_le(d.data() + 5, seq);
    messgen::store_le(d.data() + 9, frag);
    return d;
}

ConstSlice<uint8_t> view(const std::vector<uint8_t>& v) {
    return {v.data(), v.size()};
}

class StreamSenderTest : public ::testing::Test {
protected:
    StreamSenderTest() : history_(4) {
        settings_.address = {0x0000ABCD, 2};
        settings_.min_rtt_us = 30'000;
        settings_.max_rtt_us = 70'000;
        settings_.flight_id = 5;
        settings_.format = msgs::video::VideoFormat::VP9;
    }

    StreamSender& make(const ImpairmentSettings& impairments = {}) {
        sender_ = std::make_unique<StreamSender>(settings_, impairments, ivs_);
        EXPECT_TRUE(sender_->set_key(kKey.data()));
        return *sender_;
    }

    const StoredFrame& frame(uint32_t number, size_t size, bool key, uint32_t detections = 0) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(number + i);
        StoredFrame& f = history_.store(number, key, view(bytes));
        if (detections > 0) {
            make_detections_fragment(number, detections, 320, 240, f.detections);
            f.with_detections = true;
        }
        return f;
    }

    StreamSettings settings_;
    RandomIvSource ivs_;
    FrameHistory history_;
    std::unique_ptr<StreamSender> sender_;
    RecordingSink sink_;
};

TEST_F(StreamSenderTest, SendsEveryFragmentWithTheStreamsControlData) {
    auto& s = make();
    s.send_frame(frame(0, 3000, true), 1'000'000);
    s.send_frame(frame(1, 500, false, 3), 1'033'000);
    s.flush(1'033'000, sink_);
    const auto d = sink_.opened();
    ASSERT_EQ(d.size(), 5u);  // 3 fragments, then 1 video and 1 detections fragment

    for (size_t i = 0; i < d.size(); ++i) {
        EXPECT_EQ(d[i].manet_addr, 0x0000ABCDu);
        EXPECT_EQ(d[i].camera_type, 2);
        EXPECT_EQ(d[i].control.sequence_number, i) << "one control sequence number per datagram";
        EXPECT_EQ(d[i].control.minimal_roundtrip, 30'000u);
        EXPECT_EQ(d[i].control.maximum_roundtrip, 70'000u);
        EXPECT_EQ(d[i].control.flight_id, 5);
        EXPECT_EQ(d[i].control.video_format, 2);
        // Header area: control_data frame first, then video_fragment_info, 40 bytes in all.
        EXPECT_EQ(d[i].header_area[0], 13);
        EXPECT_EQ(d[i].header_area[26], 4);
    }
    EXPECT_EQ(d[0].info.type, 1);
    EXPECT_EQ(d[2].fragment.size(), 200u);
    EXPECT_EQ(d[3].info.sequence_number, 1u);
    EXPECT_EQ(d[3].info.type, 4);
    EXPECT_EQ(d[4].info.type, 6);
    EXPECT_EQ(d[4].fragment.size(), 4u + 3 * 11);
    // The bitrate estimate grows with what was sent in the last second.
    EXPECT_EQ(d[0].control.bitrate_est, 0u);
    EXPECT_EQ(d[1].control.bitrate_est, 8u * (93 + 1400));

    const auto c = s.counters();
    EXPECT_EQ(c.frames, 2u);
    EXPECT_EQ(c.fragments, 5u);
    EXPECT_EQ(c.datagrams, 5u);
    EXPECT_EQ(c.bytes, 2u * 1493 + (93 + 200) + (93 + 500) + (93 + 37));
}

TEST_F(StreamSenderTest, ResendsTheRequestedFragmentWithFreshControlData) {
    auto& s = make();
    s.send_frame(frame(7, 3000, false), 0);
    s.flush(0, sink_);
    const auto first = sink_.opened();
    sink_.sent.clear();

    s.on_feedback(view(request(7, 1)), 10'000);
    EXPECT_EQ(s.serve_requests(history_, 10'000), 1u);
    s.flush(10'000, sink_);
    const auto again = sink_.opened();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].info.sequence_number, 7u);
    EXPECT_EQ(again[0].info.fragment_id, 1);
    EXPECT_EQ(again[0].info.fragments_number, 3);
    EXPECT_EQ(again[0].fragment, first[1].fragment);
    EXPECT_EQ(again[0].control.sequence_number, 3u);
    EXPECT_EQ(s.counters().resends, 1u);
    EXPECT_EQ(s.counters().requests, 1u);
    EXPECT_EQ(s.counters().fragments, 3u) << "a resend is not a new fragment";
}

TEST_F(StreamSenderTest, RequestsForUnknownFramesOrFragmentsAreCountedNotAnswered) {
    auto& s = make();
    s.send_frame(frame(1, 100, true, 2), 0);  // fragments 0 (video) and 1 (detections)
    for (uint32_t n = 2; n < 6; ++n) s.send_frame(frame(n, 10, false), 0);  // evicts frame 1
    s.flush(0, sink_);
    sink_.sent.clear();

    s.on_feedback(view(request(1, 0)), 0);        // no longer kept
    s.on_feedback(view(request(5, 1)), 0);        // beyond the frame's fragments
    s.on_feedback(view(request(5, 0x10000)), 0);  // beyond any 16-bit fragment id
    s.on_feedback(view(request(99, 0)), 0);       // never sent
    s.on_feedback(view(request(5, 0)), 0);
    EXPECT_EQ(s.serve_requests(history_, 0), 1u);
    s.flush(0, sink_);
    EXPECT_EQ(sink_.sent.size(), 1u);
    EXPECT_EQ(s.counters().requests, 5u);
    EXPECT_EQ(s.counters().unanswered, 4u);
}

TEST_F(StreamSenderTest, DetectionsFragmentCanBeRequestedToo) {
    auto& s = make();
    s.send_frame(frame(3, 10, false, 4), 0);
    s.flush(0, sink_);
    sink_.sent.clear();
    s.on_feedback(view(request(3, 1)), 0);
    s.serve_requests(history_, 0);
    s.flush(0, sink_);
    const auto d = sink_.opened();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].info.type, 6);
    EXPECT_EQ(d[0].fragment.size(), 4u + 4 * 11);
}

TEST_F(StreamSenderTest, FeedbackOtherThanRequestsAndStatsIsIgnoredSafely) {
    auto& s = make();
    const std::vector<uint8_t> stats = {11, 12, 0, 0, 0, 3, 0, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0};
    s.on_feedback(view(stats), 0);
    EXPECT_EQ(s.counters().stats, 1u);
    EXPECT_EQ(s.counters().last_missing, 3u);

    const std::vector<std::vector<uint8_t>> junk = {
        {},
        {12},
        {12, 8, 0, 0},
        {12, 8, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0},     // one byte short of a request
        {12, 4, 0, 0, 0, 1, 0, 0, 0},              // announces too short a body
        {12, 0xff, 0xff, 0xff, 0xff, 1, 2, 3, 4},  // announces more than it holds
        {11, 12, 0, 0, 0, 3, 0, 0, 0},             // truncated statistics
        {99, 0, 0, 0, 0},                          // unknown message
    };
    for (const auto& d : junk) s.on_feedback(view(d), 0);
    EXPECT_EQ(s.counters().ignored, junk.size());
    EXPECT_EQ(s.counters().requests, 0u);
    EXPECT_EQ(s.counters().stats, 1u);

    // A longer body than needed still parses, as the frame rules allow.
    std::vector<uint8_t> longer = request(0, 0);
    longer[1] = 9;
    longer.push_back(0);
    EXPECT_TRUE(std::holds_alternative<msgs::video::video_retransmit_request>(
        parse_feedback(view(longer))));
}

TEST_F(StreamSenderTest, RequestsWaitOutTheOneWayDelayAndResendsToo) {
    ImpairmentSettings imp;
    imp.delay_us = 25'000;
    auto& s = make(imp);
    s.send_frame(frame(0, 10, true), 0);
    s.flush(24'999, sink_);
    EXPECT_TRUE(sink_.sent.empty());
    s.flush(25'000, sink_);
    EXPECT_EQ(sink_.sent.size(), 1u);

    s.on_feedback(view(request(0, 0)), 30'000);
    EXPECT_EQ(s.next_due_us(), 55'000);
    EXPECT_EQ(s.serve_requests(history_, 54'999), 0u);
    EXPECT_EQ(s.serve_requests(history_, 55'000), 1u);
    EXPECT_FALSE(s.idle());
    EXPECT_EQ(s.next_due_us(), 80'000);
    s.flush(80'000, sink_);
    EXPECT_EQ(sink_.sent.size(), 2u);  // the resend reaches the gateway a round trip later
    EXPECT_TRUE(s.idle());
}

TEST_F(StreamSenderTest, FailedSendsAndTruncationAreVisible) {
    settings_.truncate_to = 92;
    auto& s = make();
    sink_.accept = false;
    s.send_frame(frame(0, 3000, true), 0);
    s.flush(0, sink_);
    ASSERT_EQ(sink_.sent.size(), 3u);
    for (const auto& d : sink_.sent) EXPECT_EQ(d.size(), 92u);
    EXPECT_EQ(s.counters().send_errors, 3u);
    EXPECT_EQ(s.counters().datagrams, 0u);
}

TEST(FrameHistory, KeepsTheLastFramesByNumber) {
    FrameHistory h(FrameHistory::frames_for(30.0));
    EXPECT_EQ(h.capacity(), 61u);
    const std::vector<uint8_t> bytes = {1, 2, 3};
    for (uint32_t n = 100; n < 200; ++n) h.store(n, n % 30 == 0, view(bytes));
    EXPECT_EQ(h.find(138), nullptr);
    ASSERT_NE(h.find(139), nullptr);
    EXPECT_EQ(h.find(139)->frame_number, 139u);
    ASSERT_NE(h.find(180), nullptr);
    EXPECT_TRUE(h.find(180)->keyframe);
    EXPECT_EQ(h.find(200), nullptr);
    EXPECT_EQ(FrameHistory(0).capacity(), 1u);
    EXPECT_EQ(FrameHistory(1).find(0), nullptr) << "an empty slot holds no frame 0";
}

TEST(BitrateMeter, CountsTheLastSecondOnly) {
    BitrateMeter m;
    EXPECT_EQ(m.bits_per_second(0), 0u);
    m.add(1000, 0);
    m.add(1000, 450'000);
    EXPECT_EQ(m.bits_per_second(500'000), 16'000u);
    EXPECT_EQ(m.bits_per_second(999'999), 16'000u);
    EXPECT_EQ(m.bits_per_second(1'000'000), 8'000u);  // the first 100 ms have left the window
    EXPECT_EQ(m.bits_per_second(1'500'000), 0u);
    m.add(10, 5'000'000);  // reusing a bucket forgets what it held a lap earlier
    EXPECT_EQ(m.bits_per_second(5'000'000), 80u);
    m.add(uint64_t{1} << 40, 5'000'000);
    EXPECT_EQ(m.bits_per_second(5'000'000), 0xffffffffu);
}

}  // namespace
}  // namespace kelvra::norvane::sender
