// Figures of viewer sessions through the real gateway: forwarding latency of a frame, start-up
// time of a session, memory and CPU of a session child and of the gateway. Runs the gateway,
// the sender simulator and in-process test viewers, in a network namespace with only loopback:
//   sh tests/run_in_netns.sh build/bench/session_measure [seconds per interval, default 10]
// Prints a table, then one line "summary key=value ..." for scripts.

#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"
#include "proc_stats.hpp"
#include "support/gateway_process.hpp"
#include "support/session_relay.hpp"
#include "support/signalling_peer.hpp"
#include "support/test_stream.hpp"
#include "support/webrtc_viewer.hpp"

namespace {

using kelvra::bench::cpu_seconds;

using namespace std::chrono_literals;
using kelvra::msgs::video::session_response;
using kelvra::testing::GatewayConfig;
using kelvra::testing::GatewayProcess;
using kelvra::testing::ProcessRunner;
using kelvra::testing::SessionRelay;
using kelvra::testing::SignallingPeer;
using kelvra::testing::WebrtcViewer;
using Clock = std::chrono::steady_clock;

constexpr const auto& kManetKey = kelvra::testing::kTestManetKey;
constexpr const auto& kStreamKey = kelvra::testing::kTestStreamKey;
constexpr const char* kStreamKeyHex = kelvra::testing::kTestStreamKeyHex;
constexpr uint32_t kManet = kelvra::testing::kTestManet;
constexpr uint8_t kCamera = kelvra::testing::kTestCamera;
// The stream of every measurement: what a drone camera sends at 2 Mbit/s.
constexpr int kFps = 30;
constexpr int kWidth = 640;
constexpr int kHeight = 480;
constexpr int kBitrateKbps = 2000;
constexpr int kKeyframeInterval = 30;  // the sender's default
constexpr int kDetections = 2;
constexpr int kStartupRuns = 5;
constexpr uint32_t kSessions = 10;

// Program arguments from one line (none of them holds a space).
std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

void check(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

// A "Key:  1234 kB" line of /proc/<pid>/<file> (status, smaps_rollup), in kB.
long proc_kb(pid_t pid, const char* file, const std::string& key) {
    std::ifstream in(fmt::format("/proc/{}/{}", pid, file));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    }
    throw std::runtime_error(fmt::format("no {} in /proc/{}/{}", key, pid, file));
}

// Nearest-rank percentile, `q` in [0, 1]; 0 gives the least value.
double percentile(std::vector<double> values, double q) {
    check(!values.empty(), "no values for a percentile");
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

// For every frame written to the sessions, the time since the gateway accepted the last
// fragment of it before then. Frames whose fragments all came before `log` starts are left out.
std::vector<double> forwarding_latencies_us(const std::string& log) {
    std::map<unsigned, int64_t> last_fragment_at;
    std::vector<double> latencies;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        // "Norvane [HH:MM:SS --- ffffff] [T]: Got fragment 3, seq=41, ..."
        int h = 0, m = 0, s = 0, us = 0;
        const auto seq_at = line.find("seq=");
        if (seq_at == std::string::npos ||
            std::sscanf(line.c_str(), "Norvane [%d:%d:%d --- %d]", &h, &m, &s, &us) != 4) {
            continue;
        }
        const int64_t at = ((h * 60LL + m) * 60 + s) * 1'000'000 + us;
        const unsigned seq = std::stoul(line.substr(seq_at + 4));
        if (line.find("]: Got fragment ") != std::string::npos) {
            last_fragment_at[seq] = at;
        } else if (line.find("]: Send new frame: ") != std::string::npos) {
            const auto it = last_fragment_at.find(seq);
            if (it == last_fragment_at.end()) continue;
            const int64_t latency = at - it->second;
            latencies.push_back(static_cast<double>(latency < 0 ? latency + 86'400'000'000
                                                                : latency));  // across midnight
            last_fragment_at.erase(it);
        }
    }
    return latencies;
}

// A gateway with the stream announced and the sender simulator replaying `ivf` to it.
class Rig {
public:
    Rig(int log_level, const std::string& ivf) {
        GatewayConfig config;
        config.signalling_port = peer.port();
        config.log_level = log_level;
        config.ice_local_addresses = {"127.0.0.1"};
        gateway = std::make_unique<GatewayProcess>(config);
        check(peer.accept(5s), "the gateway did not connect to the signalling peer");
        check(peer.send_set_stream(kManet, kCamera, true, kStreamKey), "set_stream not sent");
        check(gateway->wait_for_log("Add new stream with manet address beef", 5s),
              "the gateway did not add the stream");
        sender = std::make_unique<ProcessRunner>(
            NORVANE_SENDER_BINARY,
            words(fmt::format("--gateway {} --manet-addr {:08x} --camera {} --key {} --ivf {} "
                              "--loop --fps {} --detections {} --duration 3600 --linger-ms 0",
                              gateway->gateway_address(), kManet, kCamera, kStreamKeyHex, ivf, kFps,
                              kDetections)));
        check(!sender->wait(500ms), "the sender ended: " + sender->err());
    }
    ~Rig() {
        if (sender) sender->send_signal(SIGTERM);
    }

    // Asks for a session of `consumer`, watched by a fresh viewer, and relays until the viewer
    // has decoded its first frame. Returns the times of the offer, of the viewer's connection
    // and of that frame after the request, in ms.
    std::vector<double> open_watched(uint32_t consumer) {
        WebrtcViewer& viewer =
            *viewers.emplace(consumer, std::make_unique<WebrtcViewer>()).first->second;
        relay.attach(consumer, viewer);
        const auto asked = Clock::now();
        check(peer.send_session_request(kManet, consumer, kCamera), "session_request not sent");
        const auto response = peer.wait_for<session_response>(5s);
        check(response.has_value(), fmt::format("no session_response for consumer {}", consumer));
        check(response->result == 0,
              fmt::format("session for consumer {} refused: {} (are fs.pipe-max-size and "
                          "fs.pipe-user-pages-soft set as scripts/setup.sh sets them?)",
                          consumer, response->status));
        // Once connected the media needs no more relaying, and waiting on the viewer itself
        // times its first frame more finely than the relay's polling does.
        const bool connected = relay.run_until(
            [&] { return viewer.connection_state() == "connected" || viewer.decoded_frames() > 0; },
            30s);
        const auto connected_at = Clock::now();
        check(connected && viewer.wait_for_decoded_frames(1, 15s),
              fmt::format("consumer {} decoded no frame: {}", consumer, viewer.describe()));
        const auto decoded_at = Clock::now();

        static const std::regex spawned("Spawned session with pid ([0-9]+)");
        const std::string log = gateway->log();
        for (std::sregex_iterator it(log.begin(), log.end(), spawned), end; it != end; ++it) {
            children[consumer] = std::stoi((*it)[1]);  // the newest is this consumer's
        }
        const auto ms = [&](Clock::time_point t) {
            return std::chrono::duration<double, std::milli>(t - asked).count();
        };
        return {ms(relay.last_offer_at(consumer)), ms(connected_at), ms(decoded_at)};
    }

    void end_session(uint32_t consumer) {
        check(peer.send_terminate_session(consumer, kCamera), "terminate_session not sent");
        check(gateway->wait_for_log(fmt::format("Child {} terminated.", children[consumer]), 5s),
              fmt::format("the session child of consumer {} did not end", consumer));
        relay.detach(consumer);
        viewers.erase(consumer);
        children.erase(consumer);
    }

    // Relays until every viewer has decoded a second of video.
    bool all_watching() {
        return relay.run_until(
            [&] {
                return std::all_of(viewers.begin(), viewers.end(), [](const auto& v) {
                    return v.second->decoded_frames() >= kFps;
                });
            },
            60s);
    }

    SignallingPeer peer{kManetKey};
    std::unique_ptr<GatewayProcess> gateway;
    SessionRelay relay{peer, kManet, kCamera};
    std::map<uint32_t, std::unique_ptr<WebrtcViewer>> viewers;
    std::unique_ptr<ProcessRunner> sender;
    std::map<uint32_t, pid_t> children;
};

// What happened over one measured interval while the relay kept the viewers going.
struct Interval {
    std::vector<double> cpu;  // of each measured process, in % of one core
    std::vector<double> fps;  // frames decoded per second by each viewer
};

Interval measure_interval(Rig& rig, const std::vector<pid_t>& pids,
                          std::chrono::milliseconds interval) {
    std::vector<double> cpu_before;
    std::vector<uint64_t> decoded_before;
    for (pid_t pid : pids) cpu_before.push_back(cpu_seconds(pid));
    for (const auto& [consumer, viewer] : rig.viewers) {
        decoded_before.push_back(viewer->decoded_frames());
    }
    const auto started = Clock::now();
    rig.relay.run_for(interval);
    const double wall = std::chrono::duration<double>(Clock::now() - started).count();
    Interval result;
    for (size_t i = 0; i < pids.size(); ++i) {
        result.cpu.push_back(100.0 * (cpu_seconds(pids[i]) - cpu_before[i]) / wall);
    }
    for (const auto& [consumer, viewer] : rig.viewers) {
        const uint64_t before = decoded_before[result.fps.size()];
        result.fps.push_back(static_cast<double>(viewer->decoded_frames() - before) / wall);
    }
    return result;
}

void row(const std::string& what, const std::string& value, const std::string& note = "") {
    std::string text = fmt::format("  {:<36} {:>14}  {}", what, value, note);
    text.erase(text.find_last_not_of(' ') + 1);
    fmt::print("{}\n", text);
}

// All values, in ascending order.
std::string spread(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::string text;
    for (double value : values) text += fmt::format("{}{:.0f}", text.empty() ? "(" : " ", value);
    return text + ")";
}

// Warnings and errors of the gateway and its children, by message, which would make the
// figures suspect.
void report_log_problems(const GatewayProcess& gateway) {
    std::istringstream lines(gateway.log());
    std::map<std::string, size_t> problems;
    for (std::string line; std::getline(lines, line);) {
        for (const char* level : {"] [W]: ", "] [E]: ", "] [C]: "}) {
            if (const auto at = line.find(level); at != std::string::npos) {
                ++problems[line.substr(at + 2)];
            }
        }
    }
    for (const auto& [message, count] : problems) {
        fmt::print("  ! gateway log: {} x \"{}\"\n", count, message);
    }
}

using Summary = std::map<std::string, double>;

// Encodes ten seconds of the stream into `ivf` and returns its bitrate in kbit/s. Replaying
// the file keeps the encoder off the two cores while measuring, and gives every phase the same
// frames.
double encode_stream(const std::filesystem::path& ivf) {
    const int frames = 10 * kFps;
    const auto run = kelvra::testing::run_sender(
        words(fmt::format("--gateway 127.0.0.1:{} --encode vp8 --width {} --height {} --fps {} "
                          "--bitrate-kbps {} --keyframe-interval {} --frames {} --save-ivf {} "
                          "--linger-ms 0",
                          kelvra::testing::free_udp_port(), kWidth, kHeight, kFps, kBitrateKbps,
                          kKeyframeInterval, frames, ivf.string())),
        120s);
    check(std::filesystem::exists(ivf), "the sender wrote no IVF file: " + run.err);
    // 32 bytes of file header and 12 of header per frame.
    const auto payload = std::filesystem::file_size(ivf) - 32 - 12 * frames;
    return static_cast<double>(payload) * 8.0 / 1000.0 / (frames / static_cast<double>(kFps));
}

// Forwarding latency from the trace log of a gateway with one watched session.
void measure_latency(std::unique_ptr<Rig>& rig, const std::string& ivf,
                     std::chrono::milliseconds interval, Summary& summary) {
    rig = std::make_unique<Rig>(0, ivf);
    rig->open_watched(1);
    WebrtcViewer& viewer = *rig->viewers.at(1);
    check(rig->all_watching(), "the viewer stalled: " + viewer.describe());
    const size_t window_start = rig->gateway->log().size();
    const uint64_t decoded_before = viewer.decoded_frames();
    rig->relay.run_for(interval);
    const auto latencies = forwarding_latencies_us(rig->gateway->log().substr(window_start));
    check(latencies.size() > 10, "too few frames sent in the latency window");
    check(viewer.decoded_frames() > decoded_before, "the viewer decoded nothing meanwhile");

    fmt::print(
        "Forwarding: last fragment accepted -> frame about to be written to the session pipe "
        "({} frames)\n",
        latencies.size());
    row("p50", fmt::format("{:.0f} us", percentile(latencies, 0.5)));
    row("p99", fmt::format("{:.0f} us", percentile(latencies, 0.99)));
    row("max", fmt::format("{:.0f} us", percentile(latencies, 1.0)));
    fmt::print(
        "  From trace logging, which itself writes and flushes a line per fragment and per\n"
        "  frame: an upper bound of the latency without it.\n");
    summary["latency_p50_us"] = percentile(latencies, 0.5);
    summary["latency_p99_us"] = percentile(latencies, 0.99);
    report_log_problems(*rig->gateway);
    fmt::print("\n");
    rig.reset();
}

void measure_startup(Rig& rig, Summary& summary) {
    std::vector<double> offer, connected, first_frame;
    // Requests at random points of the keyframe period, as a viewer's arrival is; otherwise
    // each run would start at about the same point of it as the one before, and the time to
    // the first picture would say more about that point than about the gateway.
    std::mt19937 random(7);
    std::uniform_int_distribution<int> keyframe_phase_ms(0, 1000 * kKeyframeInterval / kFps);
    for (int run = 0; run < kStartupRuns; ++run) {
        rig.relay.run_for(std::chrono::milliseconds(keyframe_phase_ms(random)));
        const uint32_t consumer = 100 + run;
        const auto times = rig.open_watched(consumer);
        offer.push_back(times[0]);
        connected.push_back(times[1]);
        first_frame.push_back(times[2]);
        rig.end_session(consumer);
    }
    fmt::print("Session start-up after session_request (median of {}, frames flowing)\n",
               kStartupRuns);
    row("offer at the signalling server", fmt::format("{:.0f} ms", percentile(offer, 0.5)),
        spread(offer));
    row("viewer connected (ICE + DTLS)", fmt::format("{:.0f} ms", percentile(connected, 0.5)),
        spread(connected));
    row("first decoded frame", fmt::format("{:.0f} ms", percentile(first_frame, 0.5)),
        spread(first_frame));
    fmt::print(
        "  The first picture waits for the test viewer's RTP jitter buffer (200 ms) and for\n"
        "  the next keyframe, which the drone sends every {} ms (nothing asks for one sooner).\n\n",
        1000 * kKeyframeInterval / kFps);
    summary["offer_ms"] = percentile(offer, 0.5);
    summary["connected_ms"] = percentile(connected, 0.5);
    summary["first_frame_ms"] = percentile(first_frame, 0.5);
}

// CPU and memory of one watched session; leaves it open as consumer 1.
void measure_one_session(Rig& rig, std::chrono::milliseconds interval, Summary& summary) {
    const pid_t gateway = rig.gateway->process().pid();
    const long gateway_idle_kb = proc_kb(gateway, "status", "VmRSS");
    rig.open_watched(1);
    const pid_t child = rig.children.at(1);
    check(rig.all_watching(), "the viewer stalled: " + rig.viewers.at(1)->describe());
    const Interval measured = measure_interval(rig, {child, gateway}, interval);
    const long child_kb = proc_kb(child, "status", "VmRSS");

    fmt::print("One watched session ({:.1f} frames/s decoded by the viewer)\n", measured.fps[0]);
    row("session child CPU", fmt::format("{:.1f} %", measured.cpu[0]), "of one core");
    row("gateway CPU", fmt::format("{:.1f} %", measured.cpu[1]), "of one core");
    row("session child VmRSS", fmt::format("{} kB", child_kb),
        fmt::format("(PSS {} kB; pages shared with the gateway since the fork)",
                    proc_kb(child, "smaps_rollup", "Pss")));
    row("gateway VmRSS", fmt::format("{} kB", proc_kb(gateway, "status", "VmRSS")),
        fmt::format("({} kB before the session)", gateway_idle_kb));
    fmt::print("\n");
    summary["child_cpu_pct"] = measured.cpu[0];
    summary["gateway_cpu_pct"] = measured.cpu[1];
    summary["child_rss_kb"] = static_cast<double>(child_kb);
}

// Ten sessions, each watched by a viewer in this process, as far as the machine keeps up.
void measure_ten_sessions(Rig& rig, std::chrono::milliseconds interval, Summary& summary) {
    for (uint32_t consumer = 2; consumer <= kSessions; ++consumer) rig.open_watched(consumer);
    const bool all_watching = rig.all_watching();
    std::vector<pid_t> pids;
    for (const auto& [consumer, pid] : rig.children) pids.push_back(pid);
    const pid_t gateway = rig.gateway->process().pid();
    pids.push_back(gateway);
    const Interval measured = measure_interval(rig, pids, interval);
    pids.pop_back();
    long children_kb = 0;
    for (pid_t pid : pids) children_kb += proc_kb(pid, "status", "VmRSS");
    const long gateway_kb = proc_kb(gateway, "status", "VmRSS");
    double children_cpu = 0;
    for (size_t i = 0; i < pids.size(); ++i) children_cpu += measured.cpu[i];

    fmt::print("{} watched sessions ({}frames/s decoded per viewer: min {:.1f}, median {:.1f})\n",
               pids.size(), all_watching ? "" : "NOT ALL VIEWERS KEPT UP; ",
               percentile(measured.fps, 0.0), percentile(measured.fps, 0.5));
    row("gateway VmRSS", fmt::format("{} kB", gateway_kb));
    row("gateway CPU", fmt::format("{:.1f} %", measured.cpu.back()), "of one core");
    row("session child VmRSS, mean", fmt::format("{} kB", children_kb / pids.size()));
    row("session children CPU, sum", fmt::format("{:.1f} %", children_cpu), "of one core");
    summary["gateway_rss_10_kb"] = static_cast<double>(gateway_kb);
    summary["gateway_cpu_10_pct"] = measured.cpu.back();
    summary["min_viewer_fps_10"] = percentile(measured.fps, 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (seconds <= 0) {
        fmt::print(stderr, "usage: {} [seconds per measured interval, default 10]\n", argv[0]);
        return 2;
    }
    const std::chrono::milliseconds interval(static_cast<int64_t>(seconds * 1000));
    const std::filesystem::path ivf =
        std::filesystem::temp_directory_path() / fmt::format("session_measure_{}.ivf", getpid());
    Summary summary;
    std::unique_ptr<Rig> rig;
    int status = 0;
    try {
        summary["stream_kbps"] = encode_stream(ivf);
        fmt::print(
            "Stream: VP8 {}x{} at {} fps, {:.0f} kbit/s (encoder target {}), a keyframe "
            "every {} frames, {} detections per frame; {:.0f} s per interval.\n\n",
            kWidth, kHeight, kFps, summary["stream_kbps"], kBitrateKbps, kKeyframeInterval,
            kDetections, seconds);
        measure_latency(rig, ivf.string(), interval, summary);
        // Everything else with the gateway at info level.
        rig = std::make_unique<Rig>(2, ivf.string());
        measure_startup(*rig, summary);
        measure_one_session(*rig, interval, summary);
        measure_ten_sessions(*rig, interval, summary);
        report_log_problems(*rig->gateway);
        rig.reset();
        std::string line = "\nsummary";
        for (const auto& [key, value] : summary) {
            line += value < 100 ? fmt::format(" {}={:.1f}", key, value)
                                : fmt::format(" {}={:.0f}", key, value);
        }
        fmt::print("{}\n", line);
    } catch (const std::exception& e) {
        std::fflush(stdout);
        fmt::print(stderr, "session_measure: {}\n", e.what());
        if (rig) {
            const std::string log = rig->gateway->log();
            fmt::print(stderr, "--- end of the gateway log ---\n{}\n",
                       log.substr(log.size() - std::min<size_t>(log.size(), 6000)));
        }
        status = 1;
    }
    std::error_code ec;
    std::filesystem::remove(ivf, ec);
    return status;
}
