// The gateway driven in-process with a manual clock: its datagram path, its per-turn work
// (batched reads and replies, which streams a turn visits) and the signalling messages it
// cannot use.

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <tuple>

#include "kelvra/msgs/video/messgen.hpp"
#include "support/gateway_harness.hpp"
#include "support/signalling_peer.hpp"
#include "support/video_datagram_builder.hpp"

namespace {
std::atomic<bool> counting{false};
std::atomic<size_t> allocations{0};
}  // namespace

// Replacements of the global allocation functions, counting while a test asks for it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace kelvra {
namespace {

using msgs::video::control_data;
using msgs::video::video_fragment_info;
using testing::concat;
using testing::request_datagram;

constexpr uint32_t kManet = 0x00C0FFEE;
constexpr uint8_t kCamera = 2;
const uint8_t kKey[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};

// Roundtrips of 30 ms, 2 Mbit/s, VP8.
control_data control(uint32_t seq, int32_t flight = -1) {
    return {{}, seq, 30'000, 30'000, flight, 2'000'000, 1};
}

video_fragment_info fragment(uint32_t frame, uint16_t id, uint16_t count, uint8_t type = 0) {
    return {{}, frame, id, count, type};
}

std::vector<uint8_t> datagram(uint32_t frame, uint16_t id, uint16_t count, size_t size,
                              uint8_t type = 0, int32_t flight = -1, const uint8_t* key = kKey,
                              uint8_t camera = kCamera) {
    static uint32_t control_seq = 0;
    return testing::seal_video_datagram(kManet, camera, key, control(++control_seq, flight),
                                        fragment(frame, id, count, type),
                                        std::vector<uint8_t>(size, static_cast<uint8_t>(id)));
}

// A 100-byte fragment of `camera`'s stream.
std::vector<uint8_t> on_camera(uint8_t camera, uint32_t frame, uint16_t id, uint16_t count) {
    return datagram(frame, id, count, 100, 0, -1, kKey, camera);
}

using Bytes = std::vector<uint8_t>;
using Replies = std::vector<Bytes>;
using Keys = std::set<uint64_t>;
const uint8_t kWrongKey[16] = {};
const char* const kOther = "127.0.0.2";
constexpr size_t kPerTurn = Norvane::kReceiveCallsPerTurn * norvane::ReceiveBatch::kCapacity;
constexpr const char* kStateAttempt = "Failed to send signalling message 14!";

struct Datagram {
    Bytes bytes;
    const char* from = nullptr;  // a loopback source other than the sender's socket
};

Bytes plaintext(const Bytes& header_area) {
    return testing::seal_video_plaintext(kManet, kCamera, kKey, header_area);
}

// One step of a scenario: the gateway is told of a stream, takes datagrams, the clock moves and
// a stream pass runs, in this order; then what it sent back and logged during the step is
// checked.
struct Step {
    std::optional<bool> announce{};  // `camera`'s stream announced (true) or withdrawn
    uint8_t camera = kCamera;
    Bytes signal{};  // a frame from the signalling server
    std::vector<Datagram> send{};
    std::optional<bool> read{};  // the gateway takes what is queued; by default when sent to
    int64_t advance_us = 0;
    bool serve = false;

    std::optional<std::vector<Bytes>> replies{};  // exactly these datagrams, in order
    std::optional<size_t> reply_count{};
    std::optional<std::vector<uint32_t>> replied_frames{};  // of the video_stats replies
    std::vector<std::pair<std::string, size_t>> lines{};    // times each text is in the log
    std::optional<std::string> log{};                       // the whole log
    std::vector<std::string> in_order{};                    // texts logged in this order
    std::optional<int32_t> flight{};                        // of the stream
    std::optional<std::set<uint64_t>> active{};             // streams the loop visits
    bool allocates = true;  // false: the gateway's handling of the step touches no heap
};

struct Scenario {
    const char* name{};
    std::vector<Step> steps{};
    testing::GatewayHarnessOptions options = {};
    size_t error_sources = 0;  // sources with errors counted at the end
    std::function<void(testing::GatewayHarness&)> check = nullptr;
    spdlog::level::level_enum level = spdlog::level::trace;
};

template <typename T, typename U>
void expect_if(const std::optional<T>& expected, const U& actual, const char* what) {
    if (expected) {
        EXPECT_EQ(actual, *expected) << what;
    }
}

void run(const Scenario& scenario) {
    SCOPED_TRACE(scenario.name);
    testing::GatewayHarness h(scenario.options);
    spdlog::set_level(scenario.level);
    h.announce(kManet, kCamera, kKey);
    for (size_t n = 0; n < scenario.steps.size(); ++n) {
        const Step& step = scenario.steps[n];
        SCOPED_TRACE("step " + std::to_string(n));
        if (step.announce) h.announce(kManet, step.camera, kKey, *step.announce);
        if (!step.signal.empty()) h.signal(step.signal);
        for (const Datagram& d : step.send) d.from ? h.send_from(d.from, d.bytes) : h.send(d.bytes);
        allocations = 0;
        counting = !step.allocates;
        if (step.read.value_or(!step.send.empty())) h.read();
        h.clock().advance(step.advance_us);
        if (step.serve) h.serve();
        counting = false;
        expect_if(step.allocates ? std::nullopt : std::optional<size_t>(0), allocations.load(),
                  "allocations");

        const auto inbox = h.sender_inbox();
        expect_if(step.replies, inbox, "replies");
        expect_if(step.reply_count, inbox.size(), "reply count");
        if (step.replied_frames) {
            std::vector<uint32_t> frames;  // 0 for what is no video_stats
            for (const auto& r : inbox)
                frames.push_back(r.size() == 17 ? messgen::load_le<uint32_t>(r.data() + 9) : 0);
            EXPECT_EQ(frames, *step.replied_frames);
        }
        for (const auto& [text, count] : step.lines) EXPECT_EQ(h.count_in_log(text), count) << text;
        expect_if(step.log, h.log(), "log");
        size_t at = 0;
        for (const std::string& text : step.in_order) {
            at = h.log().find(text, at);
            ASSERT_NE(at, std::string::npos) << text << " out of order in\n" << h.log();
        }
        const auto& streams = h.gateway().streams();
        const auto stream = streams.find(norvane::stream_key(kManet, kCamera));
        expect_if(step.flight, stream == streams.end() ? 0 : stream->second.flight_id, "flight");
        expect_if(step.active, h.gateway().active_streams(), "active streams");
        h.clear_log();
    }
    EXPECT_EQ(h.gateway().blacklist().candidates().size(), scenario.error_sources);
    if (scenario.check) scenario.check(h);
}

size_t files_with_extension(const std::filesystem::path& dir, const char* extension) {
    return std::count_if(std::filesystem::directory_iterator(dir), {},
                         [&](const auto& entry) { return entry.path().extension() == extension; });
}

std::vector<Scenario> scenarios() {
    const Bytes control_frame = testing::SignallingPeer::frame(control(1));
    const Bytes info_frame = testing::SignallingPeer::frame(fragment(3, 0, 1));
    Bytes short_control(control_frame.begin(), control_frame.end() - 1);
    short_control[1] = 20;
    const auto from_other = [](const uint8_t* key) {
        return std::vector<Datagram>(10, {datagram(1, 0, 1, 10, 0, -1, key), kOther});
    };
    std::vector<Datagram> known_frame;  // fragments 1..7 of 9, after the first made the frame
    for (uint16_t id = 1; id < 8; ++id) known_frame.push_back({datagram(7, id, 9, 1400)});
    std::vector<Datagram> burst;
    for (uint32_t frame = 1; frame <= kPerTurn + 21; ++frame)
        burst.push_back({on_camera(0, frame, 0, 1)});
    std::vector<uint32_t> first_turn(kPerTurn), second_turn(21);
    std::iota(first_turn.begin(), first_turn.end(), 1);
    std::iota(second_turn.begin(), second_turn.end(), kPerTurn + 1);
    const Bytes dead = testing::seal_video_datagram(0xDEAD, 1, kKey, {}, {}, {});
    std::vector<Step> six_streams;
    std::vector<Bytes> requests;  // more in one pass than the send batch holds
    static_assert(6 * 39 > norvane::SendBatch::kCapacity);
    for (uint8_t camera = 0; camera < 6; ++camera) {
        six_streams.push_back(
            {.announce = true, .camera = camera, .send = {{on_camera(camera, 5, 0, 40)}}});
        for (uint32_t id = 1; id < 40; ++id) requests.push_back(request_datagram(5, id));
    }
    six_streams.push_back({.advance_us = 60'000, .serve = true, .replies = requests});
    const uint64_t idle = norvane::stream_key(kManet, 1),
                   busy = norvane::stream_key(kManet, kCamera);
    const std::string flights = "Creating flight directory: ";
    const std::string null_stats = "Statistics log is enabled but logger is null!";

    // clang-format off
    return {
        {"an accepted datagram is answered with video_stats",
         {{.send = {{datagram(5, 1, 3, 1400)}}, .replies = Replies{{11, 12, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0}}}},
         {}, 0, [](testing::GatewayHarness& h) {
             const auto& s = h.gateway().streams().begin()->second;
             EXPECT_EQ(std::tuple(s.bitrate, s.video_format, s.last_data_time), std::tuple(2'000'000u, 1, h.clock().now_us())); }},
        {"short datagrams are dropped without counting an error; 93 bytes carry an empty fragment",
         {{.send = {{Bytes(92, 0)}}, .reply_count = 0, .lines = {{"Received less then minimum allowed bytes in encrypted datagram: 92 < 93", 1}}},
          {.send = {{datagram(1, 0, 2, 0)}}, .reply_count = 1}}},
        // Header areas no well-formed sender lays out: each record that is too short is
        // reported, the datagram dropped without an error counted; either order is accepted.
        {"header areas are walked frame by frame",
         {{},  // the stream's announcement
          {.send = {{plaintext(concat({short_control, info_frame, {0}}))}}, .reply_count = 0,
           .log = "VideoReceiver, Failed to parse control_data message!\nDATA SIZE MISMATCH! 39 != 40, recv = 93\nWrong datagram data received!\n"},
          {.send = {{plaintext(concat({{4, 0, 0, 0, 0}, {4, 4, 0, 0, 0, 1, 2, 3, 4}, control_frame}))}}, .reply_count = 0,
           .log = "Failed to parse video fragment message\nFailed to parse video fragment message\nWrong datagram data received!\n"},
          {.send = {{plaintext(concat({info_frame, control_frame, {7, 7}}))}}, .reply_count = 1,
           .log = "Got fragment 0, seq=3, addr: 12648430, camera type: 2\n"}}},
        // Within a second only the first five lines of a kind are written; a blocked source
        // leaves no trace, other sources are still heard.
        {"unknown streams and wrong keys blacklist the source until the block expires",
         {{.send = from_other(kWrongKey), .lines = {{"Failed to decrypt control data", 5}, {"Failed to decrypt video data", 5}}},
          {.announce = false, .send = from_other(kKey), .lines = {{"Received data from non-existent stream with manet address c0ffee", 5}, {"Adding address 127.0.0.2 to the blacklist", 1}}},
          {.announce = true},
          {.send = {{datagram(1, 0, 1, 10), kOther}}, .log = ""},
          {.send = {{datagram(1, 0, 1, 10)}}, .reply_count = 1},
          {.advance_us = 60'000'001},
          {.send = {{datagram(2, 0, 1, 10), kOther}}, .lines = {{"Removing address 127.0.0.2 from the blacklist after timeout", 1}, {"Stream restart detected", 0}}}}},
        // min_roundtrip 30 ms: a missing fragment is due 60 ms after the frame's first.
        {"a lost fragment is requested when the roundtrip says, and the frame completes",
         {{.send = {{datagram(10, 0, 3, 1400, 1)}, {datagram(10, 2, 3, 500, 1)}}},
          {.advance_us = 59'999, .serve = true, .reply_count = 0},
          {.advance_us = 1, .serve = true, .replies = Replies{request_datagram(10, 1)}, .lines = {{"Send new frame", 0}}},
          {.send = {{datagram(10, 1, 3, 1400, 1)}}, .serve = true,
           .lines = {{"Send new frame: size=3300, seq=10, keyframe=true", 1}, {"Norvane::send_new_frames got detections 0", 1}}}}},
        {"requests and stats follow the latest source port",
         {{.send = {{datagram(3, 0, 2, 1400)}}, .reply_count = 1},
          {.send = {{datagram(4, 0, 2, 1400), "127.0.0.1"}}, .advance_us = 100'000, .serve = true, .reply_count = 0}}},
        // -1 ends a flight without creating anything; the same id then starts one again, in
        // the directory that exists.
        {"flights create directories and follow the flight id",
         {{.send = {{datagram(1, 0, 1, 10, 0, 5)}}, .lines = {{flights, 1}}, .flight = 5},
          {.send = {{datagram(2, 0, 1, 10, 0, 5)}}, .lines = {{flights, 0}}, .flight = 5},
          {.send = {{datagram(3, 0, 1, 10, 0, -1)}}, .flight = -1},
          {.send = {{datagram(4, 0, 1, 10, 0, 5)}}, .lines = {{flights, 0}}, .flight = 5}},
         {}, 0, [](testing::GatewayHarness& h) { EXPECT_TRUE(std::filesystem::is_directory(h.directory() / "flights/00C0FFEE/5/2")); }},
        {"a statistics file only once a flight has started",
         {{.send = {{datagram(1, 0, 1, 10, 0, -1)}}, .lines = {{null_stats, 1}}},
          {.send = {{datagram(2, 0, 1, 10, 0, 8)}}, .lines = {{null_stats, 0}}}},
         {.log_statistics = true}, 0, [](testing::GatewayHarness& h) {
             const auto dir = h.directory() / "flights/00C0FFEE/8/2";
             EXPECT_EQ(files_with_extension(dir, ".stats"), 1u);
             spdlog::apply_all([](const auto& logger) { logger->flush(); });
             for (const auto& entry : std::filesystem::directory_iterator(dir))
                 EXPECT_GT(std::filesystem::file_size(entry.path()), 0u) << "no record written";
         }},
        // A second stream created within the same second keeps a jitter log of its own.
        {"jitter and message logs when saving to file",
         {{.lines = {{"MsgLogger opened ", 1}, {"JitterBufferLogger opened ", 1}}},
          {.announce = true, .camera = kCamera + 1, .send = {{datagram(1, 0, 1, 10)}}}},
         {.save_statistics_to_file = true}, 0, [](testing::GatewayHarness& h) { EXPECT_EQ(files_with_extension(h.directory() / "logs", ".csv"), 3u); }},
        {"a burst is drained over turns with replies in arrival order",
         {{.announce = true, .camera = 0, .send = burst, .read = false},
          {.read = true, .replied_frames = first_turn},
          {.read = true, .replied_frames = second_turn},
          {.read = true, .reply_count = 0, .lines = {{"Recvfrom failed", 0}}}}},
        // Two streams, a short datagram, an unknown stream, a wrong key and a blacklisted
        // source in one batch: each handled as alone, in arrival order.
        {"a mixed batch is handled datagram by datagram in arrival order",
         {{.announce = true, .camera = 1, .send = std::vector<Datagram>(20, {dead, kOther}), .lines = {{"Adding address 127.0.0.2 to the blacklist", 1}}},
          {.send = {{on_camera(1, 7, 0, 1)}, {Bytes(10, 0)}, {on_camera(1, 8, 0, 1), kOther}, {dead}, {on_camera(2, 9, 0, 1)},
                    {testing::seal_video_datagram(kManet, 1, kWrongKey, {}, {}, {})}},
           .replied_frames = std::vector<uint32_t>{7, 9}, .lines = {{"seq=8", 0}},
           .in_order = {"Received less then minimum allowed bytes", "Received data from non-existent stream with manet address dead", "Failed to decrypt video data"}}},
         {}, 2},
        {"requests of a pass larger than a send batch all go out in order", six_streams},
        // A frame missing two fragments keeps its stream visited while it is asked for again
        // each second; every stream reports each second, idle or not.
        {"only streams with recent data are visited; every stream reports each second",
         {{.announce = true, .camera = 1, .serve = true, .active = Keys{}},
          {.send = {{on_camera(kCamera, 10, 0, 3)}}, .active = Keys{busy}},
          {.advance_us = 1'000'001, .serve = true, .reply_count = 2, .lines = {{kStateAttempt, 2}}},
          {.advance_us = 1'000'001, .serve = true, .reply_count = 2, .lines = {{kStateAttempt, 2}}},
          {.advance_us = 1'000'001, .serve = true, .reply_count = 2, .lines = {{kStateAttempt, 2}}},
          {.advance_us = Norvane::kActiveWindowUs, .serve = true, .lines = {{kStateAttempt, 2}}, .active = Keys{}},
          {.send = {{on_camera(1, 20, 0, 1)}}, .active = Keys{idle}},
          {.announce = false, .camera = 1, .active = Keys{}},
          {.advance_us = 1'000'001, .serve = true, .lines = {{kStateAttempt, 1}}}}},
        // Messages the gateway cannot use and announcements repeated or withdrawn for streams it
        // does not have: an operator's line for each, the streams untouched, also by a new
        // connection.
        {"unusable signalling messages are reported and the streams outlive the connection",
         {{.signal = testing::SignallingPeer::frame(msgs::video::stream_state{}), .lines = {{"Got unexpected message type: 14", 1}}},
          {.signal = {9, 4, 0, 0, 0, 1, 2, 3, 4}, .lines = {{"Failed to parse session terminate request!", 1}}},
          {.signal = {15, 21, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21}, .lines = {{"Failed to parse set stream message!", 1}}},
          {.signal = testing::SignallingPeer::set_stream_frame(kManet, kCamera, true, kKey), .lines = {{"Video stream with manet address c0ffee and camera 2 already exists", 1}}},
          {.signal = testing::SignallingPeer::set_stream_frame(5, 1, false, kKey), .lines = {{"Video stream with manet address 5 and camera 1 does not exist", 1}}}},
         {}, 0, [](testing::GatewayHarness& h) {
             h.gateway().on_disconnect(), h.gateway().on_connect();
             EXPECT_EQ(h.gateway().streams().size(), 1u); }},
        // The datagram path does not allocate per datagram: further fragments of a frame whose
        // buffer exists are received, decrypted, stored and answered without the heap.
        {"fragments of a known frame are handled without allocating",
         {{.send = {{datagram(7, 0, 9, 1400)}}, .reply_count = 1},
          {.send = known_frame, .reply_count = 7, .allocates = false}},
         {}, 0, nullptr, spdlog::level::info},
    };
    // clang-format on
}

TEST(GatewayIngest, Scenarios) {
    for (const Scenario& scenario : scenarios()) run(scenario);
}

TEST(GatewayIdleLoop, WaitsForTheNextReportWithinTheLoopsBounds) {
    testing::GatewayHarness h;
    // Without a signalling connection the loop keeps its usual pace.
    EXPECT_EQ(h.gateway().poll_timeout_ms(h.clock().now_us(), false), Norvane::kPollTimeoutMs);

    const int64_t now = 5'000'000;  // next report due -> wait in ms
    for (const auto& [due, ms] :
         std::vector<std::pair<int64_t, int>>{{-1, Norvane::kIdlePollTimeoutMs},
                                              {now + 60'000, 20},
                                              {now + 5'000, 6},
                                              {now + 4'999, 5},
                                              {now + 1'000, 2},
                                              {now, 2},
                                              {now - 30'000, 2}}) {
        EXPECT_EQ(Norvane::idle_poll_timeout_ms(due, now), ms) << due - now;
    }
}

}  // namespace
}  // namespace kelvra
