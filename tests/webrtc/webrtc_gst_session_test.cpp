// The media session of one viewer inside this process: what its first frames build, what it
// writes up its pipe, and the viewer input it must survive.

#include "kelvra/norvane/webrtc/webrtc_gst_session.hpp"

#include <fcntl.h>
#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kelvra/core/unique_fd.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/norvane/webrtc/gst_ref.hpp"
#include "support/log_capture.hpp"

namespace kelvra {
namespace {

namespace video = msgs::video;
using Bytes = std::vector<uint8_t>;

// One VP8 keyframe as a drone's encoder makes it.
Bytes encoded_vp8_keyframe() {
    const norvane::GstObjectPtr<GstElement> pipeline(GST_ELEMENT(gst_object_ref_sink(
        gst_parse_launch("videotestsrc num-buffers=1 ! video/x-raw,width=64,height=48 ! vp8enc "
                         "! appsink name=out",
                         nullptr))));
    const norvane::GstObjectPtr<GstElement> sink(
        gst_bin_get_by_name(GST_BIN(pipeline.get()), "out"));
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink.get()));
    Bytes out;
    if (sample != nullptr) {
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        out.resize(gst_buffer_get_size(buffer));
        gst_buffer_extract(buffer, 0, out.data(), out.size());
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return out;
}

// What the child wrote up its pipe to the viewer, once the wrapper was checked.
struct WrittenMessage {
    uint8_t type = 0;
    std::string text;  // the SDP, or the candidate
};

class MediaSession : public ::testing::Test {
protected:
    MediaSession() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0);
        from_child_read_.reset(fds[0]);
        from_child_write_.reset(fds[1]);
        session_ = std::make_unique<WebRTCGstSession>(0xBEEF, 42, "u:p@turn.invalid:3478",
                                                      "stun.invalid:3478", from_child_write_.get(),
                                                      3, std::vector<std::string>{"127.0.0.1"});
        gst_init(nullptr, nullptr);
        session_->start(loop_.get());
    }
    ~MediaSession() override { session_->stop(); }

    template <typename Message>
    void feed(const Message& message) {
        Bytes frame;
        frame.reserve(message.frame_size());
        message.serialize(frame);
        session_->feed_message(
            {frame[0], messgen::load_le<uint32_t>(frame.data() + 1), frame.data() + 5});
    }
    // A frame whose payload no payloader can parse, unless `payload` is given.
    void feed_frame(uint8_t format, Bytes payload = {0x10, 0x02, 0x00, 0x9d, 0x01, 0x2a}) {
        video::video_frame frame;
        frame.keyframe = 1;
        frame.video_format = format;
        frame.payload = {const_cast<uint8_t*>(payload.data()),
                         static_cast<uint32_t>(payload.size())};
        feed(frame);
    }

    // Runs the main loop until `done()` holds; false after `timeout`.
    bool iterate_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            g_main_context_iteration(nullptr, FALSE);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // Runs the loop until the child has written an offer, then a little longer for candidates;
    // returns everything written up the pipe meanwhile.
    std::vector<WrittenMessage> messages_until_offer() {
        std::vector<WrittenMessage> out;
        const auto offered = [&] {
            read_messages(out);
            return std::any_of(out.begin(), out.end(),
                               [](const auto& m) { return m.type == video::sdp_message::TYPE; });
        };
        if (iterate_until(offered, std::chrono::seconds(10))) {
            iterate_until(
                [&] {
                    read_messages(out);
                    return false;
                },
                std::chrono::milliseconds(300));
        }
        return out;
    }

    void read_messages(std::vector<WrittenMessage>& out) {
        uint8_t chunk[65536];
        const ssize_t got = read(from_child_read_.get(), chunk, sizeof(chunk));
        if (got > 0) pending_.insert(pending_.end(), chunk, chunk + got);
        const size_t used =
            messgen::walk_frames(pending_.data(), pending_.size(), [&](const auto& info) {
                arena_.reset();
                video::session_msg wrapped;
                ASSERT_EQ(wrapped.parse(info, arena_), static_cast<int>(info.size));
                EXPECT_EQ(wrapped.manet_addr, 0xBEEFu);
                EXPECT_EQ(wrapped.consumer_id, 42u);
                EXPECT_EQ(wrapped.camera_type, 3);
                WrittenMessage m{wrapped.peer_msg.ptr[0], ""};
                const messgen::MessageInfo inner{
                    m.type, messgen::load_le<uint32_t>(wrapped.peer_msg.ptr + 1),
                    wrapped.peer_msg.ptr + 5};
                if (m.type == video::sdp_message::TYPE) {
                    video::sdp_message sdp;
                    ASSERT_GT(sdp.parse(inner, arena_), 0);
                    EXPECT_STREQ(sdp.type, "offer");
                    m.text = sdp.sdp;
                } else {
                    video::ice_message ice;
                    ASSERT_EQ(m.type, video::ice_message::TYPE);
                    ASSERT_GT(ice.parse(inner, arena_), 0);
                    m.text = ice.candidate;
                }
                out.push_back(m);
            });
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
    }

    testing::LogCapture log_;
    UniqueFd from_child_read_;
    UniqueFd from_child_write_;
    norvane::GMainLoopPtr loop_{g_main_loop_new(nullptr, FALSE)};
    std::unique_ptr<WebRTCGstSession> session_;
    Bytes pending_;
    messgen::OwnedArena arena_{1 << 16};
};

TEST_F(MediaSession, ServerUrlsGetTheirSchemeOnce) {
    EXPECT_EQ(session_->stun_server(), "stun://stun.invalid:3478");
    EXPECT_EQ(session_->turn_server(), "turn://u:p@turn.invalid:3478");
    const WebRTCGstSession prefixed(1, 1, "turn://t:3478", "", -1, 1);
    EXPECT_EQ(prefixed.turn_server(), "turn://t:3478");
    EXPECT_EQ(prefixed.stun_server(), "stun://");
}

TEST_F(MediaSession, FramesWithoutAPayloaderAreDroppedWithOneLine) {
    for (int i = 0; i < 3; ++i) feed_frame(0);
    for (int i = 0; i < 2; ++i) feed_frame(7);
    EXPECT_FALSE(session_->has_pipeline());
    EXPECT_EQ(log_.occurrences("Dropping video frames of format 0: no pipeline for it"), 1u);
    EXPECT_EQ(log_.occurrences("Dropping video frames of format 7: no pipeline for it"), 1u);
}

// That the offer carries video and the data channel over loopback is the viewer page's test,
// where a browser in a loopback-only namespace shows both.
TEST_F(MediaSession, FirstFrameOffersVideoWithResends) {
    feed_frame(1);
    ASSERT_TRUE(session_->has_pipeline());
    EXPECT_STREQ(GST_OBJECT_NAME(gst_element_get_factory(session_->element("pay").get())),
                 "rtpvp8pay");
    std::string sdp;
    size_t offers = 0;
    for (const WrittenMessage& m : messages_until_offer()) {
        if (m.type == video::sdp_message::TYPE) sdp = m.text, ++offers;
    }
    ASSERT_EQ(offers, 1u) << "no offer, or more than one";
    // A lost packet is asked for again and resent on its own RTX stream.
    std::smatch nack;
    ASSERT_TRUE(std::regex_search(sdp, nack, std::regex("a=rtcp-fb:(\\d+) nack\r\n"))) << sdp;
    EXPECT_TRUE(std::regex_search(
        sdp, std::regex("a=rtpmap:(\\d+) rtx/90000\r\na=fmtp:\\1 apt=" + nack.str(1))))
        << sdp;
}

// The element a format change replaced may still ask for an offer; its successor has made its
// own, and must not be made to offer again.
TEST_F(MediaSession, OfferGoesToTheElementThatAskedForIt) {
    feed_frame(1);
    ASSERT_FALSE(messages_until_offer().empty());
    const auto replaced = session_->element("webrtcbin");
    feed_frame(2);
    ASSERT_FALSE(messages_until_offer().empty());
    const auto current = session_->element("webrtcbin");
    const auto local_sdp = [&] {
        GstWebRTCSessionDescription* description = nullptr;
        g_object_get(current.get(), "local-description", &description, nullptr);
        if (description == nullptr) return std::string();
        const norvane::GCharPtr text(gst_sdp_message_as_text(description->sdp));
        gst_webrtc_session_description_free(description);
        return std::string(text.get());
    };
    const std::string before = local_sdp();
    ASSERT_FALSE(before.empty());

    g_signal_emit_by_name(replaced.get(), "on-negotiation-needed");
    std::vector<WrittenMessage> later;
    iterate_until(
        [&] {
            read_messages(later);
            return !later.empty();
        },
        std::chrono::seconds(2));
    EXPECT_TRUE(later.empty()) << later.front().text;
    EXPECT_EQ(local_sdp(), before);
}

// A damaged frame from the drone costs that frame, not the rest of the viewer's video.
TEST_F(MediaSession, FrameThePayloaderRejectsIsDroppedAndLaterFramesFlow) {
    const Bytes keyframe = encoded_vp8_keyframe();
    ASSERT_FALSE(keyframe.empty());
    feed_frame(1);
    const auto payloader = session_->element("pay");
    ASSERT_TRUE(iterate_until(
        [&] {
            return log_.occurrences("Frame dropped: the payloader could not packetize it") == 1;
        },
        std::chrono::seconds(5)));
    // Packets leaving the payloader, counted before webrtcbin (not negotiated here) holds them.
    std::atomic<int> packets{0};
    const norvane::GstObjectPtr<GstPad> src(gst_element_get_static_pad(payloader.get(), "src"));
    gst_pad_add_probe(
        src.get(),
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
        [](GstPad*, GstPadProbeInfo*, gpointer count) {
            ++*static_cast<std::atomic<int>*>(count);
            return GST_PAD_PROBE_OK;
        },
        &packets, nullptr);
    feed_frame(1, keyframe);
    EXPECT_TRUE(iterate_until([&] { return packets > 0; }, std::chrono::seconds(5)));
}

// Whatever the viewer side sends, the session goes on.
TEST_F(MediaSession, BadViewerInputIsLoggedAndDropped) {
    video::sdp_message answer;
    answer.type = "answer";
    answer.sdp = "v=0";
    feed(answer);  // before any offer
    EXPECT_EQ(log_.occurrences("42: no offer was made yet, SDP answer dropped"), 1u);

    feed_frame(1);
    ASSERT_FALSE(messages_until_offer().empty());
    for (const char* text : {"", "not sdp at all", "v=0\r\n"}) {
        answer.sdp = text;
        feed(answer);
    }
    EXPECT_EQ(log_.occurrences("42: could not parse SDP answer, dropped"), 3u);

    video::ice_message candidate;
    candidate.m_line_idx = 0;
    candidate.candidate = "";
    feed(candidate);
    candidate.candidate = "candidate:garbage";
    feed(candidate);

    video::terminate_session unexpected;
    feed(unexpected);
    EXPECT_EQ(log_.occurrences("Unexpected message 9"), 1u);
    const Bytes truncated = {video::video_frame::TYPE, 3, 0, 0, 0, 1, 1, 0};
    session_->feed_message({truncated[0], 3, truncated.data() + 5});
    EXPECT_EQ(log_.occurrences("Failed to parse video frame"), 1u);

    EXPECT_TRUE(session_->has_pipeline());
    feed_frame(1);  // still takes frames
}

}  // namespace
}  // namespace kelvra
