// The test viewer against a plain webrtcbin offerer in this process, set up like the gateway's
// per-viewer pipeline: if the viewer shows the offerer's video and texts, a failing end-to-end
// test points at the gateway and not at the viewer.
#include <gst/sdp/sdp.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/webrtc_viewer.hpp"

namespace kelvra::testing {
namespace {

using namespace std::chrono_literals;
using Candidate = WebrtcViewer::Candidate;

// Live test video in one codec through webrtcbin as offerer, with a data channel created before
// negotiation (so the first offer carries it) that sends `texts` as soon as it is open. Each
// local candidate goes to `on_candidate` as it is gathered.
class Offerer {
public:
    Offerer(const std::string& codec, std::vector<std::string> texts,
            std::function<void(const Candidate&)> on_candidate)
        : texts_(std::move(texts)), on_candidate_(std::move(on_candidate)) {
        gst_init(nullptr, nullptr);
        // Unless fed I420 and told to hurry, vp9enc picks profile 3, makes a few frames a second
        // and holds back the first second of them.
        const std::string encoder =
            codec == "VP8" ? ",framerate=30/1 ! vp8enc deadline=1 ! rtpvp8pay"
                           : ",framerate=30/1,format=I420 ! "
                             "vp9enc cpu-used=8 deadline=1 lag-in-frames=0 ! rtpvp9pay";
        const std::string description =
            "videotestsrc is-live=true ! video/x-raw,width=320,height=240" + encoder +
            " ! application/x-rtp,media=video,payload=96,encoding-name=" + codec +
            " ! webrtcbin name=offerer bundle-policy=max-bundle";
        GError* error = nullptr;
        GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
        if (pipeline != nullptr) pipeline_.reset(GST_ELEMENT(gst_object_ref_sink(pipeline)));
        const GRef<GError, g_error_free> owned_error(error);
        if (error != nullptr) throw std::runtime_error("offerer: " + std::string(error->message));
        webrtc_.reset(gst_bin_get_by_name(GST_BIN(pipeline_.get()), "offerer"));

        GstWebRTCICE* ice = nullptr;
        g_object_get(webrtc_.get(), "ice-agent", &ice, nullptr);
        const GRef<GstWebRTCICE, gst_object_unref> agent(ice);
        gboolean added = FALSE;
        g_signal_emit_by_name(agent.get(), "add-local-ip-address", "127.0.0.1", &added);
        EXPECT_TRUE(added);

        g_signal_connect(webrtc_.get(), "on-negotiation-needed",
                         G_CALLBACK(on_negotiation_needed_static), this);
        g_signal_connect(webrtc_.get(), "on-ice-candidate", G_CALLBACK(on_ice_candidate_static),
                         this);
        gst_element_set_state(pipeline_.get(), GST_STATE_READY);
        GstWebRTCDataChannel* channel = nullptr;
        g_signal_emit_by_name(webrtc_.get(), "create-data-channel", "sendChannel", nullptr,
                              &channel);
        channel_.reset(channel);
        g_signal_connect(channel, "on-open", G_CALLBACK(on_open_static), this);
        gst_element_set_state(pipeline_.get(), GST_STATE_PLAYING);
    }

    ~Offerer() {
        gst_element_set_state(pipeline_.get(), GST_STATE_NULL);
        g_signal_handlers_disconnect_by_data(webrtc_.get(), this);
        g_signal_handlers_disconnect_by_data(channel_.get(), this);
    }

    std::optional<std::string> wait_for_offer() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 10s, [this] { return offer_.has_value(); });
        return offer_;
    }

    void apply_answer(const std::string& sdp) {
        GstSDPMessage* parsed = nullptr;
        const GstSDPResult result = gst_sdp_message_new_from_text(sdp.c_str(), &parsed);
        GRef<GstSDPMessage, gst_sdp_message_free> message(parsed);
        ASSERT_EQ(result, GST_SDP_OK);
        const GRef<GstWebRTCSessionDescription, gst_webrtc_session_description_free> answer(
            gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, message.release()));
        g_signal_emit_by_name(webrtc_.get(), "set-remote-description", answer.get(), nullptr);
    }

    void add_remote_candidate(const Candidate& candidate) {
        g_signal_emit_by_name(webrtc_.get(), "add-ice-candidate", candidate.first,
                              candidate.second.c_str());
    }

private:
    static void on_negotiation_needed_static(GstElement*, gpointer self) {
        const GRef<GstPromise, gst_promise_unref> promise(
            gst_promise_new_with_change_func(on_offer_created_static, self, nullptr));
        g_signal_emit_by_name(static_cast<Offerer*>(self)->webrtc_.get(), "create-offer", nullptr,
                              promise.get());
    }

    static void on_offer_created_static(GstPromise* promise, gpointer self) {
        static_cast<Offerer*>(self)->on_offer_created(promise);
    }
    void on_offer_created(GstPromise* promise) {
        GstWebRTCSessionDescription* offer = nullptr;
        gst_structure_get(gst_promise_get_reply(promise), "offer",
                          GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
        const GRef<GstWebRTCSessionDescription, gst_webrtc_session_description_free> owned(offer);
        g_signal_emit_by_name(webrtc_.get(), "set-local-description", offer, nullptr);
        const GRef<gchar, g_free> text(gst_sdp_message_as_text(offer->sdp));
        const std::lock_guard lock(mutex_);
        offer_ = text.get();
        changed_.notify_all();
    }

    static void on_ice_candidate_static(GstElement*, guint mline, gchar* candidate, gpointer self) {
        static_cast<Offerer*>(self)->on_candidate_({mline, candidate});
    }

    static void on_open_static(GstWebRTCDataChannel* channel, gpointer self) {
        for (const std::string& text : static_cast<Offerer*>(self)->texts_) {
            g_signal_emit_by_name(channel, "send-string", text.c_str());
        }
    }

    const std::vector<std::string> texts_;
    const std::function<void(const Candidate&)> on_candidate_;
    ElementRef pipeline_;
    ElementRef webrtc_;
    GRef<GstWebRTCDataChannel, g_object_unref> channel_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<std::string> offer_;
};

class ViewerTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ViewerTest, ShowsTheOfferersVideoAndTexts) {
    const std::string codec = GetParam();
    const std::vector<std::string> sent = {
        R"({"det":[{"h":40,"i":7,"t":1,"w":30,"x":10,"y":20}],"t":90000})",
        R"({"det":null,"t":93000})", "ünïcode ✓"};
    WebrtcViewer viewer;
    // The offerer gathers as soon as its offer is set; the viewer keeps what comes before it
    // has the offer itself.
    Offerer offerer(codec, sent, [&viewer](const Candidate& candidate) {
        viewer.add_remote_candidate(candidate.first, candidate.second);
    });

    const auto offer = offerer.wait_for_offer();
    ASSERT_TRUE(offer.has_value());
    const auto started = std::chrono::steady_clock::now();
    viewer.apply_offer(*offer);
    const auto answer = viewer.wait_for_answer();
    ASSERT_TRUE(answer.has_value()) << viewer.describe();
    EXPECT_NE(answer->find("a=group:BUNDLE"), std::string::npos) << *answer;
    offerer.apply_answer(*answer);

    ASSERT_TRUE(viewer.wait_for_gathering_complete()) << viewer.describe();
    const auto candidates = viewer.take_local_candidates();
    ASSERT_FALSE(candidates.empty());
    for (const Candidate& candidate : candidates) offerer.add_remote_candidate(candidate);
    EXPECT_TRUE(viewer.take_local_candidates().empty());

    ASSERT_TRUE(viewer.wait_for_decoded_frames(10)) << viewer.describe();
    const auto first_frames = std::chrono::steady_clock::now() - started;
    RecordProperty("ten_frames_ms", static_cast<int>(first_frames / 1ms));
    EXPECT_EQ(viewer.encoding_name(), codec);
    EXPECT_EQ(viewer.frame_width(), 320);
    EXPECT_EQ(viewer.frame_height(), 240);

    ASSERT_TRUE(viewer.wait_for_texts(sent.size())) << viewer.describe();
    EXPECT_EQ(viewer.data_channel_label(), "sendChannel");
    EXPECT_EQ(viewer.texts(), sent);
    EXPECT_EQ(viewer.connection_state(), "connected");
    EXPECT_TRUE(viewer.errors().empty()) << viewer.describe();
}

// A gateway that sends a broken offer must fail the test at once, not after the time-out.
TEST(ViewerNegotiationTest, ReportsAnOfferItCannotAnswer) {
    WebrtcViewer viewer;
    EXPECT_THROW(viewer.apply_offer(""), std::invalid_argument);
    EXPECT_THROW(viewer.apply_offer("not sdp"), std::invalid_argument);

    // Parses, but without ICE credentials and DTLS fingerprint no session can start.
    viewer.apply_offer(
        "v=0\r\no=- 1 0 IN IP4 0.0.0.0\r\ns=-\r\nt=0 0\r\n"
        "m=video 9 UDP/TLS/RTP/SAVPF 96\r\nc=IN IP4 0.0.0.0\r\na=mid:video0\r\n"
        "a=sendonly\r\na=rtpmap:96 VP8/90000\r\n");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(viewer.wait_for_answer().has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - started, WebrtcViewer::kDefaultTimeout / 2);
    ASSERT_FALSE(viewer.errors().empty());
    EXPECT_NE(viewer.errors().front().find("set-remote-description"), std::string::npos)
        << viewer.describe();
}

INSTANTIATE_TEST_SUITE_P(Codecs, ViewerTest, ::testing::Values("VP8", "VP9"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace kelvra::testing
