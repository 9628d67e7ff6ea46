// Recordings of the gateway binary read back with GStreamer: the frames in the files are the
// frames the drone sent (the sender simulator keeps a copy in an IVF file), cut into segments
// that each start at a keyframe, with their detections beside them; a killed recorder or gateway
// leaves files that play; a full or read-only disk stops only the recording.

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "sender/ivf.hpp"
#include "sender/keyframe.hpp"
#include "support/gateway_process.hpp"
#include "support/process_runner.hpp"
#include "support/signalling_peer.hpp"
#include "support/test_stream.hpp"

// GLib and GStreamer make one-off allocations per process that they never free; the read-back
// below is the first use of them in this binary. They are not leaks of anything tested here
// (the gateway runs as a process of its own, with its own checks).
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libglib-2.0.so\nleak:libgstreamer-1.0.so\n";
}

namespace kelvra::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Args = std::vector<std::string>;

struct Frame {
    bool keyframe = false;
    int64_t pts_ms = 0;
    Bytes bytes;
};

struct Segment {
    fs::path path;
    std::vector<Frame> frames;
    size_t decoded = 0;  // frames the decoder put out
    bool decode_error = false;
    std::vector<nlohmann::json> detections;  // the sidecar's lines
};

// The frames the sender kept, with its own keyframe flags.
std::vector<Frame> read_ivf(const fs::path& path) {
    using namespace norvane::sender;
    std::ifstream in(path, std::ios::binary);
    const Bytes all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    std::string error;
    auto reader = IvfReader::open({all.data(), all.size()}, error);
    std::vector<Frame> frames;
    IvfFrame f;
    while (reader && reader->next(f) == IvfRead::Frame)
        frames.push_back(
            {is_keyframe(reader->header().format, f.bytes), 0, {f.bytes.begin(), f.bytes.end()}});
    return frames;
}

// Runs `launch` (which ends in an appsink named "out") to its end; calls `take` per sample.
bool run_to_end(const std::string& launch, const std::function<void(GstSample*)>& take) {
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(launch.c_str(), &error);
    if (error) g_error_free(error);
    if (!pipeline) return false;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    while (GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
        take(sample);
        gst_sample_unref(sample);
    }
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* failed = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    const bool ok = failed == nullptr;
    if (failed) gst_message_unref(failed);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return ok;
}

Segment read_segment(const fs::path& path) {
    gst_init(nullptr, nullptr);
    Segment segment{path, {}, 0, false, {}};
    const std::string source = "filesrc location=\"" + path.string() + "\" ! matroskademux";
    run_to_end(source + " ! appsink name=out sync=false", [&](GstSample* sample) {
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        Frame frame;
        frame.keyframe = !GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT);
        frame.pts_ms = static_cast<int64_t>(GST_BUFFER_PTS(buffer) / GST_MSECOND);
        frame.bytes.resize(gst_buffer_get_size(buffer));
        gst_buffer_extract(buffer, 0, frame.bytes.data(), frame.bytes.size());
        segment.frames.push_back(std::move(frame));
    });
    segment.decode_error = !run_to_end(source + " ! decodebin ! appsink name=out sync=false",
                                       [&](GstSample*) { ++segment.decoded; });
    std::ifstream sidecar(fs::path(path).replace_extension(".jsonl"));
    for (std::string line; std::getline(sidecar, line);)
        segment.detections.push_back(nlohmann::json::parse(line));
    return segment;
}

// Every segment under `dir`, oldest first.
std::vector<Segment> read_segments(const fs::path& dir) {
    std::vector<fs::path> paths;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.path().extension() == ".webm") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    std::vector<Segment> segments;
    for (const fs::path& path : paths) segments.push_back(read_segment(path));
    return segments;
}

// Waits until the segments under `dir` list `frames` frames in their detections.
bool wait_for_recorded_frames(const fs::path& dir, size_t frames) {
    for (int i = 0; i < 1000; ++i) {
        size_t lines = 0;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            if (entry.path().extension() != ".jsonl") continue;
            std::ifstream in(entry.path());
            lines += static_cast<size_t>(std::count(std::istreambuf_iterator<char>(in),
                                                    std::istreambuf_iterator<char>(), '\n'));
        }
        if (lines >= frames) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// A gateway recording the test stream, announced and ready for the sender.
struct Recording {
    explicit Recording(const std::string& extra, const std::string& setup = "")
        : gateway(GatewayConfig{.signalling_port = peer.port(),
                                .log_level = 2,
                                .extra_json = R"("record": true, )" + extra,
                                .setup_command = setup,
                                .own_mount_namespace = !setup.empty()}) {
        EXPECT_TRUE(peer.accept(5s)) << gateway.log();
        EXPECT_TRUE(peer.send_set_stream(kTestManet, kTestCamera, true, kTestStreamKey));
        EXPECT_TRUE(gateway.wait_for_log("Add new stream", 5s)) << gateway.log();
    }
    Args sender_args(const std::string& codec, int frames) const {
        return test_stream_sender_args(
            gateway.gateway_address(),
            {"--encode=" + codec, "--frames=" + std::to_string(frames), "--fps=30",
             "--keyframe-interval=15", "--detections=2", "--linger-ms=300",
             "--save-ivf=" + (gateway.directory() / "sent.ivf").string()});
    }
    std::vector<Frame> sent() const { return read_ivf(gateway.directory() / "sent.ivf"); }
    int first_recorder() const {
        return std::stoi(log_matches(gateway.log(), "Started recorder (\\d+)").at(0));
    }

    SignallingPeer peer{kTestManetKey};
    GatewayProcess gateway;
};

// The frames of `segments` in order are frames of `sent` in order, none twice; counts them.
void expect_in_order(const std::vector<Segment>& segments, const std::vector<Frame>& sent,
                     size_t& recorded) {
    size_t next = 0;
    recorded = 0;
    for (const Segment& segment : segments) {
        SCOPED_TRACE(segment.path);
        ASSERT_FALSE(segment.frames.empty()) << "an empty segment is left";
        EXPECT_TRUE(segment.frames.front().keyframe);
        EXPECT_FALSE(segment.decode_error);
        EXPECT_EQ(segment.decoded, segment.frames.size());
        EXPECT_EQ(segment.frames.front().pts_ms, 0);
        EXPECT_GE(segment.detections.size(), segment.frames.size());
        for (size_t i = 0; i < segment.frames.size(); ++i) {
            const Frame& frame = segment.frames[i];
            while (next < sent.size() && sent[next].bytes != frame.bytes) ++next;
            ASSERT_LT(next, sent.size()) << "frame " << i << " was not sent, or not in this place";
            EXPECT_EQ(frame.keyframe, sent[next].keyframe);
            ++next;
            ++recorded;
            if (i >= segment.detections.size()) continue;
            EXPECT_EQ(segment.detections[i]["t"], frame.pts_ms * 90);
            EXPECT_EQ(segment.detections[i]["det"].size(), 2u);
        }
    }
}

TEST(Recording, EveryReleasedFrameInSegmentsThatStartAtKeyframes) {
    for (const char* codec : {"vp8", "vp9"}) {
        SCOPED_TRACE(codec);
        Recording rec(R"("record_segment_s": 1)");
        const SenderRun run = run_sender(rec.sender_args(codec, 120));
        ASSERT_TRUE(run.ok()) << run.out << run.err;
        ASSERT_TRUE(rec.gateway.stop()->exited_with(0)) << rec.gateway.log();

        const std::vector<Frame> sent = rec.sent();
        const std::vector<Segment> segments = read_segments(rec.gateway.save_dir());
        // Four seconds in segments of one: each cut at the first keyframe past its length.
        EXPECT_GE(segments.size(), 3u);
        size_t recorded = 0;
        expect_in_order(segments, sent, recorded);
        EXPECT_EQ(recorded, sent.size()) << rec.gateway.log();
        for (size_t i = 0; i + 1 < segments.size(); ++i) {
            EXPECT_GE(segments[i].frames.back().pts_ms, 500);
            EXPECT_LT(segments[i].frames.back().pts_ms, 2000);
        }
        EXPECT_EQ(rec.gateway.count("Recording stream beef camera 1 to "), segments.size());
    }
}

TEST(Recording, KilledRecorderOrGatewayLeavesPlayableFiles) {
    for (const bool kill_gateway : {false, true}) {
        SCOPED_TRACE(kill_gateway ? "gateway killed" : "recorder killed");
        Recording rec(R"("record_segment_s": 60)");
        ProcessRunner sender(NORVANE_SENDER_BINARY, rec.sender_args("vp8", 150));
        ASSERT_TRUE(rec.gateway.wait_for_log("Recording stream", 5s)) << rec.gateway.log();
        ASSERT_TRUE(wait_for_recorded_frames(rec.gateway.save_dir(), 30)) << rec.gateway.log();
        const int recorder = rec.first_recorder();
        if (kill_gateway) {
            rec.gateway.process().send_signal(SIGKILL);
            rec.gateway.process().wait(5s);
        } else {
            kill(recorder, SIGKILL);
            // A new recorder takes over at the next keyframe, in a new segment.
            EXPECT_TRUE(rec.gateway.wait_for_log("Recording stream", 5s, 2)) << rec.gateway.log();
        }
        ASSERT_TRUE(sender.wait(20s));
        if (!kill_gateway) rec.gateway.stop();
        // The recorder of a killed gateway ends its segment by itself.
        for (int i = 0; i < 200 && fs::exists("/proc/" + std::to_string(recorder)); ++i)
            std::this_thread::sleep_for(10ms);

        const std::vector<Segment> segments = read_segments(rec.gateway.save_dir());
        ASSERT_EQ(segments.size(), kill_gateway ? 1u : 2u) << rec.gateway.log();
        size_t recorded = 0;
        expect_in_order(segments, rec.sent(), recorded);
        EXPECT_GT(segments[0].frames.size(), 15u);
        if (!kill_gateway) {
            EXPECT_LT(recorded, 150u);
        }
    }
}

TEST(Recording, ASenderStartingAgainOrANewFlightBeginsANewSegment) {
    Recording rec(R"("record_segment_s": 60)");
    // The second run numbers its frames from 0 again, the third is another flight.
    for (const auto& [flight, first] : {std::pair{"1", "1000"}, {"1", "0"}, {"2", "2000"}}) {
        Args args = rec.sender_args("vp8", 30);
        args.insert(args.end(), {"--flight", flight, "--first-frame", first});
        const SenderRun run = run_sender(args);
        ASSERT_TRUE(run.ok()) << run.out << run.err;
    }
    ASSERT_TRUE(rec.gateway.stop()->exited_with(0)) << rec.gateway.log();
    const std::vector<Segment> segments = read_segments(rec.gateway.save_dir());
    ASSERT_EQ(segments.size(), 3u) << rec.gateway.log();
    EXPECT_EQ(segments[1].path.parent_path(), segments[0].path.parent_path());
    EXPECT_EQ(segments[2].path.parent_path().parent_path().filename(), "2");
    size_t recorded = 0;
    expect_in_order({segments[2]}, rec.sent(), recorded);
    EXPECT_EQ(recorded, 30u) << rec.gateway.log();
}

TEST(Recording, FullOrReadOnlyDiskStopsOnlyTheRecording) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small or read-only file system needs root";
    struct Case {
        const char* name;
        const char* mount;
        const char* error;
    };
    const Case cases[] = {
        {"full", "mount -t tmpfs -o size=96k tmpfs \"$dir/flights\"",
         "Recording stopped for stream beef camera 1: No space left on device"},
        {"read-only", "mount -t tmpfs -o ro tmpfs \"$dir/flights\"",
         "Recording stopped for stream beef camera 1: Read-only file system"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Recording rec(R"("record_segment_s": 1)",
                      std::string("mkdir -p \"$dir/flights\"; ") + c.mount);
        const SenderRun run = run_sender(rec.sender_args("vp8", 90));
        ASSERT_TRUE(run.ok()) << run.out << run.err;
        EXPECT_TRUE(rec.gateway.wait_for_log(c.error, 2s)) << rec.gateway.log();
        // One line for the outage, however many segments it refused; the recorder lives on.
        EXPECT_EQ(rec.gateway.count("Recording stopped"), 1u) << rec.gateway.log();
        EXPECT_EQ(rec.gateway.count("ended, starting another"), 0u);
        EXPECT_EQ(run.summary.at("stats"), run.summary.at("datagrams"));
        EXPECT_TRUE(rec.gateway.stop()->exited_with(0));
    }
}

TEST(Recording, RetentionDeletesTheOldestSegmentsFirst) {
    Recording rec(R"("record_segment_s": 1, "record_keep_bytes": 60000)");
    const SenderRun run = run_sender(rec.sender_args("vp8", 150));
    ASSERT_TRUE(run.ok()) << run.out << run.err;
    ASSERT_TRUE(rec.gateway.stop()->exited_with(0));

    const std::vector<std::string> gone =
        log_matches(rec.gateway.log(),
                    "Deleted recording .*/([0-9TZ.]+)\\.webm to keep recordings under 60000 bytes");
    ASSERT_FALSE(gone.empty()) << rec.gateway.log();
    EXPECT_TRUE(std::is_sorted(gone.begin(), gone.end()));
    const std::vector<Segment> kept = read_segments(rec.gateway.save_dir());
    ASSERT_FALSE(kept.empty());
    EXPECT_LT(gone.back(), kept.front().path.stem().string());
    uint64_t bytes = 0;
    for (const Segment& s : kept) {
        bytes +=
            fs::file_size(s.path) + fs::file_size(fs::path(s.path).replace_extension(".jsonl"));
    }
    // Bounded when each segment starts; the last one grew after that.
    EXPECT_LE(bytes - fs::file_size(kept.back().path), 60000u);
}

}  // namespace
}  // namespace kelvra::testing
