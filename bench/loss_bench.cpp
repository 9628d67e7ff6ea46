// How the gateway copes with a lossy link: the sender simulator replays a pre-encoded VP8 stream
// (640x480, 30 fps, ~2 Mbit/s, a keyframe every 30 frames) through norvane-lossrelay to the real
// gateway, for each loss rate and round trip. For every run it prints the share of frames the
// gateway released, the share that a decoder could use (the frame and every frame back to the
// last keyframe released), and the delay it added: from the first send of a frame (the sender's
// --frame-times file) to its release (the gateway's trace log).
//   loss_bench [--ivf FILE] [--frames N] [--config-extra '"key": value'] [--seed N]
//              [--latency-factor F]   (latency_ms = F x the round trip of each run)

#include <fmt/format.h>
#include <signal.h>
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cxxopts.hpp>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/gateway_process.hpp"
#include "support/process_runner.hpp"
#include "support/signalling_peer.hpp"
#include "support/test_stream.hpp"

namespace {

using namespace std::chrono_literals;
using kelvra::testing::GatewayConfig;
using kelvra::testing::GatewayProcess;
using kelvra::testing::ProcessRunner;
using kelvra::testing::SignallingPeer;

constexpr int64_t kDayUs = 86'400'000'000;
constexpr double kFps = 30.0;
const std::string kRelayBinary = std::string(NORVANE_LOSSRELAY_BINARY);

struct Scenario {
    double loss = 0.0;  // each way
    int rtt_ms = 50;
};

struct SentFrame {
    int64_t sent_us = 0;  // wall clock, microseconds since the epoch
    bool keyframe = false;
};

struct Result {
    size_t frames = 0;
    size_t released = 0;
    size_t decodable = 0;
    std::vector<int64_t> delays_us;  // of the released frames
    uint64_t requests = 0;
    uint64_t resends = 0;
    std::string relay_counters;
    std::string error;
};

// Microseconds since local midnight, the only time the gateway's log lines carry.
int64_t local_time_of_day_us(int64_t wall_us) {
    const time_t seconds = static_cast<time_t>(wall_us / 1'000'000);
    tm local{};
    localtime_r(&seconds, &local);
    return (int64_t{local.tm_hour} * 3600 + local.tm_min * 60 + local.tm_sec) * 1'000'000 +
           wall_us % 1'000'000;
}

// "Norvane [HH:MM:SS --- ffffff] [T]: Send new frame: size=S, seq=N, keyframe=K": the frame
// number and the release time of day of each frame the gateway released.
std::map<uint32_t, int64_t> released_frames(const std::string& log) {
    std::map<uint32_t, int64_t> released;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t what = line.find("Send new frame: size=");
        const size_t seq = line.find("seq=", what);
        const size_t stamp = line.find('[');
        if (what == std::string::npos || seq == std::string::npos || stamp == std::string::npos)
            continue;
        int h = 0, m = 0, s = 0;
        long us = 0;
        if (std::sscanf(line.c_str() + stamp, "[%d:%d:%d --- %ld]", &h, &m, &s, &us) != 4) continue;
        const auto frame = static_cast<uint32_t>(std::stoul(line.substr(seq + 4)));
        released.emplace(frame, (int64_t{h} * 3600 + m * 60 + s) * 1'000'000 + us);
    }
    return released;
}

std::map<uint32_t, SentFrame> sent_frames(const std::filesystem::path& path) {
    std::map<uint32_t, SentFrame> sent;
    std::ifstream in(path);
    uint32_t frame = 0;
    SentFrame f;
    int keyframe = 0;
    while (in >> frame >> f.sent_us >> keyframe) {
        f.keyframe = keyframe != 0;
        sent.emplace(frame, f);
    }
    return sent;
}

Result evaluate(const std::map<uint32_t, SentFrame>& sent,
                const std::map<uint32_t, int64_t>& released) {
    Result r;
    r.frames = sent.size();
    bool chain_intact = false;  // every frame since the last keyframe was released
    for (const auto& [frame, f] : sent) {
        const auto rel = released.find(frame);
        const bool got = rel != released.end();
        chain_intact = got && (f.keyframe || chain_intact);
        if (chain_intact) ++r.decodable;
        if (!got) continue;
        ++r.released;
        int64_t delay = rel->second - local_time_of_day_us(f.sent_us);
        // Across midnight the two times of day are a day apart.
        if (delay < -kDayUs / 2) delay += kDayUs;
        if (delay > kDayUs / 2) delay -= kDayUs;
        r.delays_us.push_back(delay);
    }
    std::sort(r.delays_us.begin(), r.delays_us.end());
    return r;
}

double percentile_ms(const std::vector<int64_t>& sorted, double p) {
    if (sorted.empty()) return 0.0;
    const auto rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return static_cast<double>(sorted[std::clamp<size_t>(rank, 1, sorted.size()) - 1]) / 1000.0;
}

std::filesystem::path make_work_dir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "norvane-loss-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

// Encodes the test stream once, so that no encoder competes for the CPU during the runs. The
// sender paces the encoding in real time, toward a port nobody listens on.
bool encode_stream(const std::filesystem::path& ivf, uint64_t frames) {
    fmt::print(stderr, "loss_bench: encoding {} frames to {} ...\n", frames, ivf.string());
    const auto run = kelvra::testing::run_sender(
        {"--gateway",
         fmt::format("127.0.0.1:{}", kelvra::testing::free_udp_port()),
         "--encode",
         "vp8",
         "--width",
         "640",
         "--height",
         "480",
         "--fps",
         "30",
         "--bitrate-kbps",
         "2000",
         "--keyframe-interval",
         "30",
         "--frames",
         std::to_string(frames),
         "--linger-ms",
         "0",
         "--save-ivf",
         ivf.string()},
        std::chrono::seconds(static_cast<int64_t>(static_cast<double>(frames) / kFps) + 60));
    if (!run.status || !run.status->exited_with(0) || run.summary.count("frames") == 0) {
        fmt::print(stderr, "loss_bench: encoding failed:\n{}{}\n", run.out, run.err);
        return false;
    }
    return true;
}

Result run_scenario(const Scenario& sc, const std::filesystem::path& ivf, uint64_t frames,
                    const std::string& config_extra, uint64_t seed,
                    const std::filesystem::path& work) {
    Result failed;
    SignallingPeer peer(kelvra::testing::kTestManetKey);
    GatewayConfig config;
    config.signalling_port = peer.port();
    config.log_level = 0;  // trace: the release of every frame is logged
    config.extra_json = config_extra;
    GatewayProcess gateway(config);
    if (!peer.accept(5s)) {
        failed.error = "the gateway did not connect to signalling";
        return failed;
    }
    peer.send_set_stream(kelvra::testing::kTestManet, kelvra::testing::kTestCamera, true,
                         kelvra::testing::kTestStreamKey);
    if (!gateway.wait_for_log("Add new stream with manet address beef and camera 1", 5s)) {
        failed.error = "the gateway did not take the stream";
        return failed;
    }

    const uint16_t relay_port = kelvra::testing::free_udp_port();
    ProcessRunner relay(kRelayBinary,
                        {"--listen", fmt::format("127.0.0.1:{}", relay_port), "--gateway",
                         gateway.gateway_address(), "--loss-up", fmt::format("{}", sc.loss),
                         "--loss-down", fmt::format("{}", sc.loss), "--delay-ms",
                         fmt::format("{}", sc.rtt_ms / 2.0), "--seed", std::to_string(seed)});
    if (!relay.wait_for_output("relaying", 5s)) {
        failed.error = "the relay did not start: " + relay.err();
        return failed;
    }

    const auto times_path = work / fmt::format("frames-{}-{}.txt", sc.loss, sc.rtt_ms);
    const std::string rtt_us = std::to_string(sc.rtt_ms * 1000);
    const auto run = kelvra::testing::run_sender(
        {"--gateway",
         fmt::format("127.0.0.1:{}", relay_port),
         "--manet-addr",
         kelvra::testing::kTestManetHex,
         "--camera",
         std::to_string(kelvra::testing::kTestCamera),
         "--key",
         kelvra::testing::kTestStreamKeyHex,
         "--ivf",
         ivf.string(),
         "--loop",
         "--fps",
         "30",
         "--frames",
         std::to_string(frames),
         "--min-rtt-us",
         rtt_us,
         "--max-rtt-us",
         rtt_us,
         "--linger-ms",
         "2000",
         "--frame-times",
         times_path.string()},
        std::chrono::seconds(static_cast<int64_t>(static_cast<double>(frames) / kFps) + 60));
    if (!run.status || !run.status->exited_with(0) || run.summary.count("frames") == 0) {
        failed.error = "the sender failed: " + run.out + run.err;
        return failed;
    }
    // The last repairs are in flight for at most a round trip after the sender has lingered.
    std::this_thread::sleep_for(std::chrono::milliseconds(sc.rtt_ms + 200));
    gateway.stop();
    relay.send_signal(SIGTERM);
    relay.wait(5s);

    const std::string log = gateway.log();
    std::ofstream(work / fmt::format("gateway-{}-{}.log", sc.loss, sc.rtt_ms)) << log;
    Result r = evaluate(sent_frames(times_path), released_frames(log));
    r.requests = run.summary.at("requests");
    r.resends = run.summary.at("resends");
    const size_t at = relay.out().find("counters ");
    if (at != std::string::npos) r.relay_counters = relay.out().substr(at);
    if (r.frames == 0) r.error = "the sender reported no frame";
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    cxxopts::Options cli("loss_bench",
                         "Frames released and decodable, and the delay the gateway adds, through "
                         "a lossy relay.");
    cli.add_options()("ivf", "Pre-encoded stream to replay; encoded here when it does not exist",
                      cxxopts::value<std::string>())(
        "frames", "Frames per run", cxxopts::value<uint64_t>()->default_value("600"))(
        "config-extra", "Extra members for the gateway's configuration, e.g. '\"latency_ms\": 200'",
        cxxopts::value<std::string>()->default_value(""))(
        "latency-factor",
        "Run the latency-budget rules with latency_ms = this many round trips (0: today's rules)",
        cxxopts::value<double>()->default_value("0"))(
        "seed", "Seed of the relay's losses", cxxopts::value<uint64_t>()->default_value("1"))(
        "losses", "Loss rates each way, in percent",
        cxxopts::value<std::vector<double>>()->default_value("0,5,10,20"))(
        "rtts", "Round trips, in milliseconds",
        cxxopts::value<std::vector<int>>()->default_value("50,200"))(
        "keep", "Keep the frame times and gateway logs of the runs (in a directory under /tmp)")(
        "v,verbose", "Also print the relay's counters of every run")("h,help", "Show this help");
    cxxopts::ParseResult args;
    try {
        args = cli.parse(argc, argv);
    } catch (const std::exception& e) {
        fmt::print(stderr, "loss_bench: {}\n", e.what());
        return 2;
    }
    if (args.count("help")) {
        fmt::print("{}", cli.help());
        return 0;
    }
    const uint64_t frames = args["frames"].as<uint64_t>();
    const std::string config_extra = args["config-extra"].as<std::string>();
    const double latency_factor = args["latency-factor"].as<double>();
    const uint64_t seed = args["seed"].as<uint64_t>();
    const bool verbose = args.count("verbose") != 0;
    const bool keep = args.count("keep") != 0;
    if (!(latency_factor >= 0.0 && latency_factor <= 100.0)) {
        fmt::print(stderr, "loss_bench: --latency-factor must be 0..100\n");
        return 2;
    }
    if (frames == 0) {
        fmt::print(stderr, "loss_bench: --frames must be at least 1\n");
        return 2;
    }

    const std::filesystem::path work = make_work_dir();
    const std::filesystem::path ivf = args.count("ivf")
                                          ? std::filesystem::path(args["ivf"].as<std::string>())
                                          : work / "bench.ivf";
    if (!std::filesystem::exists(ivf) && !encode_stream(ivf, frames)) return 1;

    std::vector<Scenario> scenarios;
    for (const int rtt : args["rtts"].as<std::vector<int>>()) {
        for (const double loss : args["losses"].as<std::vector<double>>()) {
            if (rtt < 0 || rtt > 10'000 || !(loss >= 0.0 && loss <= 100.0)) {
                fmt::print(stderr, "loss_bench: losses must be 0..100 and round trips 0..10000\n");
                return 2;
            }
            scenarios.push_back({loss / 100.0, rtt});
        }
    }

    fmt::print("gateway configuration extra: {}{}\n",
               config_extra.empty() ? "(none)" : config_extra,
               latency_factor > 0 ? fmt::format(", latency_ms = {} x rtt", latency_factor) : "");
    fmt::print("{:>6} {:>7} {:>7} {:>10} {:>11} {:>9} {:>9} {:>9} {:>9} {:>8}\n", "loss%", "rtt_ms",
               "frames", "released%", "decodable%", "p50_ms", "p95_ms", "max_ms", "requests",
               "resends");
    std::fflush(stdout);
    int status = 0;
    for (const Scenario& sc : scenarios) {
        std::string extra = config_extra;
        if (latency_factor > 0) {
            const auto ms = std::max<int64_t>(1, std::llround(latency_factor * sc.rtt_ms));
            extra = fmt::format("\"latency_ms\": {}{}{}", ms, extra.empty() ? "" : ", ", extra);
        }
        const Result r = run_scenario(sc, ivf, frames, extra, seed, work);
        if (!r.error.empty()) {
            fmt::print("{:>6.0f} {:>7} failed: {}\n", sc.loss * 100, sc.rtt_ms, r.error);
            status = 1;
            continue;
        }
        const auto share = [&](size_t n) {
            return 100.0 * static_cast<double>(n) / static_cast<double>(r.frames);
        };
        fmt::print(
            "{:>6.0f} {:>7} {:>7} {:>10.1f} {:>11.1f} {:>9.1f} {:>9.1f} {:>9.1f} {:>9} {:>8}\n",
            sc.loss * 100, sc.rtt_ms, r.frames, share(r.released), share(r.decodable),
            percentile_ms(r.delays_us, 0.50), percentile_ms(r.delays_us, 0.95),
            percentile_ms(r.delays_us, 1.0), r.requests, r.resends);
        if (verbose) fmt::print("       relay {}\n", r.relay_counters);
        std::fflush(stdout);
    }
    std::error_code ec;
    if (status == 0 && !keep)
        std::filesystem::remove_all(work, ec);
    else
        fmt::print(stderr, "loss_bench: frame times and gateway logs are in {}\n", work.string());
    return status;
}
