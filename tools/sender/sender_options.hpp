#pragma once

// Command line of the sender simulator.

#include <cstdint>
#include <cxxopts.hpp>
#include <optional>
#include <string>
#include <variant>

#include "detections.hpp"
#include "hex_text.hpp"
#include "impairments.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane::sender {

using msgs::video::VideoFormat;

constexpr uint32_t kMaxStreams = 1024;
constexpr const char* kDefaultKey = "000102030405060708090a0b0c0d0e0f";

enum class SourceKind { Ivf, Encode };

struct SenderOptions {
    std::string gateway_host = "127.0.0.1";
    uint16_t gateway_port = 30000;
    uint32_t manet_addr = 1;
    uint8_t camera = 0;
    StreamKey key{};
    bool wrong_key = false;
    bool short_datagrams = false;

    SourceKind source = SourceKind::Encode;
    std::string ivf_path;
    VideoFormat encode_format = VideoFormat::VP8;
    uint32_t width = 320;
    uint32_t height = 240;
    std::optional<double> fps;  // unset: the IVF header's rate, else 30
    uint32_t keyframe_interval = 30;
    uint32_t bitrate_kbps = 500;
    std::string pattern = "smpte";
    std::string save_ivf;
    std::string frame_times;  // where to write each frame's number, send time and keyframe flag

    std::optional<uint64_t> frames;
    std::optional<double> duration_s;
    bool loop = false;
    int64_t linger_us = 1'000'000;

    uint32_t streams = 1;
    int32_t flight_id = 1;
    uint32_t first_frame = 0;
    uint32_t min_rtt_us = 50'000;
    uint32_t max_rtt_us = 50'000;
    uint32_t detections = 0;
    ImpairmentSettings impairments;

    bool expect_stats = false;
    bool verbose = false;
};

// Help text or a rejected command line: what to print and the exit status.
struct OptionsExit {
    int status = 0;
    std::string text;
};

using OptionsResult = std::variant<SenderOptions, OptionsExit>;

namespace detail {

inline cxxopts::Options sender_cli() {
    cxxopts::Options cli("norvane-sender",
                         "Sends encrypted VP8/VP9 video datagrams to a gateway as a drone would, "
                         "answers its retransmission requests and counts its statistics.");
    cli.add_options("Gateway and stream")(
        "g,gateway", "Gateway address host:port",
        cxxopts::value<std::string>()->default_value("127.0.0.1:30000"))(
        "a,manet-addr", "Manet address of the (first) stream, hex, up to 8 digits",
        cxxopts::value<std::string>()->default_value("00000001"))(
        "c,camera", "Camera type", cxxopts::value<uint32_t>()->default_value("0"))(
        "k,key", "Stream key, 32 hex digits",
        cxxopts::value<std::string>()->default_value(kDefaultKey))(
        "streams", "Number of streams, on consecutive manet addresses, one socket each",
        cxxopts::value<uint32_t>()->default_value("1"))(
        "flight", "Flight id (-1: no flight)", cxxopts::value<int32_t>()->default_value("1"))(
        "first-frame", "Number of the first frame (a sender that starts again numbers from 0)",
        cxxopts::value<uint32_t>()->default_value("0"))(
        "min-rtt-us", "Minimal roundtrip reported in control data",
        cxxopts::value<uint32_t>()->default_value("50000"))(
        "max-rtt-us", "Maximum roundtrip reported in control data",
        cxxopts::value<uint32_t>()->default_value("50000"));
    cli.add_options("Video")("ivf", "Send the frames of this IVF file (VP8 or VP9)",
                             cxxopts::value<std::string>())(
        "encode", "Encode a test picture live: vp8 or vp9 (the default source)",
        cxxopts::value<std::string>())("width", "Encoded picture width",
                                       cxxopts::value<uint32_t>()->default_value("320"))(
        "height", "Encoded picture height", cxxopts::value<uint32_t>()->default_value("240"))(
        "fps", "Frame rate (default: the IVF header's, else 30)", cxxopts::value<double>())(
        "keyframe-interval", "Frames between keyframes when encoding",
        cxxopts::value<uint32_t>()->default_value("30"))(
        "bitrate-kbps", "Encoder target bitrate", cxxopts::value<uint32_t>()->default_value("500"))(
        "pattern", "Test picture pattern when encoding",
        cxxopts::value<std::string>()->default_value("smpte"))(
        "save-ivf", "Also write the frames sent to this IVF file", cxxopts::value<std::string>())(
        "frame-times",
        "Write a line 'frame send_time_us keyframe' for every frame sent to this file (send "
        "time: microseconds since the Unix epoch)",
        cxxopts::value<std::string>())("detections",
                                       "Attach this many moving boxes to every frame (0..125)",
                                       cxxopts::value<uint32_t>()->default_value("0"));
    cli.add_options("Run length")("frames", "Stop after this many frames",
                                  cxxopts::value<uint64_t>())(
        "duration", "Stop after this many seconds", cxxopts::value<double>())(
        "loop", "Replay the IVF file from the start when it ends")(
        "linger-ms", "Keep answering retransmission requests this long after the last frame",
        cxxopts::value<int64_t>()->default_value("1000"));
    cli.add_options("Impairments")("seed", "Seed of the impairments",
                                   cxxopts::value<uint64_t>()->default_value("1"))(
        "loss", "Probability that a first transmission is lost",
        cxxopts::value<double>()->default_value("0"))("resend-loss",
                                                      "Probability that a resend is lost",
                                                      cxxopts::value<double>()->default_value("0"))(
        "dup", "Probability that a datagram is duplicated",
        cxxopts::value<double>()->default_value("0"))(
        "reorder", "Reorder window: a datagram may be overtaken by this many later ones",
        cxxopts::value<uint32_t>()->default_value("0"))(
        "delay-ms", "One-way delay of every datagram, both ways (round trip: twice this)",
        cxxopts::value<double>()->default_value("0"))(
        "wrong-key", "Seal with a key other than --key")("short", "Cut every datagram to 92 bytes");
    cli.add_options("Other")("expect-stats", "Exit with status 2 when no video_stats was received")(
        "v,verbose", "Log every request and statistics datagram to stderr")("h,help",
                                                                            "Show this help");
    return cli;
}

inline bool parse_gateway(const std::string& text, std::string& host, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    const std::string port_text = text.substr(colon + 1);
    if (port_text.size() > 5 || port_text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long value = std::stoul(port_text);
    if (value == 0 || value > 65535) return false;
    host = text.substr(0, colon);
    port = static_cast<uint16_t>(value);
    return true;
}

inline bool probability(double p) {
    return p >= 0.0 && p <= 1.0;
}

}  // namespace detail

inline OptionsResult parse_sender_options(int argc, const char* const* argv) {
    auto cli = detail::sender_cli();
    const auto fail = [](const std::string& text) { return OptionsExit{1, text}; };
    try {
        const auto args = cli.parse(argc, argv);
        if (args.count("help"))
            return OptionsExit{
                0, cli.help({"Gateway and stream", "Video", "Run length", "Impairments", "Other"})};
        if (!args.unmatched().empty()) return fail("unexpected argument: " + args.unmatched()[0]);

        SenderOptions o;
        if (!detail::parse_gateway(args["gateway"].as<std::string>(), o.gateway_host,
                                   o.gateway_port))
            return fail("--gateway must be host:port");
        const auto addr = parse_manet_addr(args["manet-addr"].as<std::string>());
        if (!addr) return fail("--manet-addr must be 1 to 8 hex digits");
        o.manet_addr = *addr;
        const uint32_t camera = args["camera"].as<uint32_t>();
        if (camera > 255) return fail("--camera must be 0..255");
        o.camera = static_cast<uint8_t>(camera);
        const auto key = parse_key(args["key"].as<std::string>());
        if (!key) return fail("--key must be 32 hex digits");
        o.key = *key;
        o.wrong_key = args.count("wrong-key") != 0;
        o.short_datagrams = args.count("short") != 0;

        o.streams = args["streams"].as<uint32_t>();
        if (o.streams == 0 || o.streams > kMaxStreams)
            return fail("--streams must be 1.." + std::to_string(kMaxStreams));
        if (uint64_t{o.manet_addr} + o.streams - 1 > 0xffffffffULL)
            return fail("--streams runs past the last manet address");
        o.flight_id = args["flight"].as<int32_t>();
        o.first_frame = args["first-frame"].as<uint32_t>();
        o.min_rtt_us = args["min-rtt-us"].as<uint32_t>();
        o.max_rtt_us = args["max-rtt-us"].as<uint32_t>();
        if (o.min_rtt_us > o.max_rtt_us) return fail("--min-rtt-us exceeds --max-rtt-us");

        if (args.count("ivf") && args.count("encode"))
            return fail("--ivf and --encode exclude each other");
        if (args.count("ivf")) {
            o.source = SourceKind::Ivf;
            o.ivf_path = args["ivf"].as<std::string>();
        } else if (args.count("encode")) {
            const std::string codec = args["encode"].as<std::string>();
            if (codec == "vp8")
                o.encode_format = VideoFormat::VP8;
            else if (codec == "vp9")
                o.encode_format = VideoFormat::VP9;
            else
                return fail("--encode must be vp8 or vp9");
        }
        o.width = args["width"].as<uint32_t>();
        o.height = args["height"].as<uint32_t>();
        if (o.width < 16 || o.width > 4096 || o.height < 16 || o.height > 4096)
            return fail("--width and --height must be 16..4096");
        if (args.count("fps")) {
            o.fps = args["fps"].as<double>();
            if (!(*o.fps >= 1.0 && *o.fps <= 240.0)) return fail("--fps must be 1..240");
        }
        o.keyframe_interval = args["keyframe-interval"].as<uint32_t>();
        if (o.keyframe_interval == 0) return fail("--keyframe-interval must be at least 1");
        o.bitrate_kbps = args["bitrate-kbps"].as<uint32_t>();
        if (o.bitrate_kbps == 0 || o.bitrate_kbps > 100'000)
            return fail("--bitrate-kbps must be 1..100000");
        o.pattern = args["pattern"].as<std::string>();
        if (o.pattern.empty() || o.pattern.find_first_not_of(
                                     "abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos)
            return fail("--pattern must be a plain name");
        if (args.count("save-ivf")) o.save_ivf = args["save-ivf"].as<std::string>();
        if (args.count("frame-times")) o.frame_times = args["frame-times"].as<std::string>();
        o.detections = args["detections"].as<uint32_t>();
        if (o.detections > kMaxDetections) return fail("--detections must be 0..125");

        if (args.count("frames")) o.frames = args["frames"].as<uint64_t>();
        if (args.count("duration")) {
            o.duration_s = args["duration"].as<double>();
            if (!(*o.duration_s > 0.0)) return fail("--duration must be positive");
        }
        o.loop = args.count("loop") != 0;
        const int64_t linger_ms = args["linger-ms"].as<int64_t>();
        if (linger_ms < 0 || linger_ms > 3'600'000) return fail("--linger-ms must be 0..3600000");
        o.linger_us = linger_ms * 1000;

        auto& imp = o.impairments;
        imp.seed = args["seed"].as<uint64_t>();
        imp.loss = args["loss"].as<double>();
        imp.resend_loss = args["resend-loss"].as<double>();
        imp.duplicate = args["dup"].as<double>();
        if (!detail::probability(imp.loss) || !detail::probability(imp.resend_loss) ||
            !detail::probability(imp.duplicate))
            return fail("--loss, --resend-loss and --dup must be probabilities 0..1");
        imp.reorder_window = args["reorder"].as<uint32_t>();
        const double delay_ms = args["delay-ms"].as<double>();
        if (!(delay_ms >= 0.0 && delay_ms <= 10'000.0)) return fail("--delay-ms must be 0..10000");
        imp.delay_us = static_cast<int64_t>(delay_ms * 1000.0);

        o.expect_stats = args.count("expect-stats") != 0;
        o.verbose = args.count("verbose") != 0;
        return o;
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}

}  // namespace kelvra::norvane::sender
