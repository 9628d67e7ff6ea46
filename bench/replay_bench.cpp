// Replays pre-sealed video datagrams of S streams into a real gateway process at fixed rates and
// prints, per rate, the datagrams sent, those accepted (each accepted datagram is answered with
// one video_stats) and the gateway's CPU time per datagram. The datagrams are sealed once into a
// file, so the replaying core spends its time on sending, not on encryption.
//
//   replay_bench --streams S --rates R1,R2,... [--count N] [--dir DIR] [--gateway PATH]
//                [--receive-buffer BYTES] [--stop-at-loss]
//   replay_bench --streams S --idle SECONDS [--gateway PATH]
//
// Each rate runs on a freshly started gateway. Frames follow a camera's pattern: a keyframe of
// 60 fragments every 30 frames, 18 fragments otherwise, the streams' frames interleaved.

#include <fmt/format.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kelvra/core/unique_fd.hpp"
#include "proc_stats.hpp"
#include "support/gateway_process.hpp"
#include "support/signalling_peer.hpp"
#include "support/video_datagram_builder.hpp"

namespace {

using kelvra::bench::cpu_seconds;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kelvra::UniqueFd;
using kelvra::testing::GatewayProcess;
using kelvra::testing::SignallingPeer;

const uint8_t kManetKey[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr uint32_t kFirstManet = 0x100;
constexpr uint32_t kKeyframeInterval = 30;  // frames
constexpr uint16_t kKeyframeFragments = 60;
constexpr uint16_t kDeltaFragments = 18;
constexpr size_t kFragmentBytes = 1400;
constexpr uint8_t kVideoStatsId = 11;
constexpr size_t kSendBurst = 32;  // datagrams at most per sendmmsg when behind schedule

struct Options {
    uint32_t streams = 1;
    std::vector<double> rates;
    size_t count = 40'000;
    std::string dir = std::filesystem::temp_directory_path();
    std::string gateway;
    uint64_t receive_buffer = 0;  // 0: the gateway's own default
    double idle_seconds = 0;
    bool stop_at_loss = false;
};

std::array<uint8_t, 16> stream_key(uint32_t stream) {
    std::array<uint8_t, 16> key{};
    key[0] = static_cast<uint8_t>(stream);
    key[1] = static_cast<uint8_t>(stream >> 8);
    key[15] = 0x5a;
    return key;
}

// Datagrams as length-prefixed records, sealed once per stream count and datagram count.
std::string ensure_file(const Options& options) {
    const std::string path =
        fmt::format("{}/norvane-replay-s{}-n{}.bin", options.dir, options.streams, options.count);
    if (std::filesystem::exists(path)) return path;
    std::ofstream out(path + ".part", std::ios::binary);
    std::vector<uint32_t> control_seq(options.streams, 0);
    std::vector<uint8_t> payload(kFragmentBytes);
    size_t written = 0;
    for (uint32_t frame = 1; written < options.count; ++frame) {
        const bool keyframe = (frame - 1) % kKeyframeInterval == 0;
        const uint16_t fragments = keyframe ? kKeyframeFragments : kDeltaFragments;
        for (uint32_t s = 0; s < options.streams && written < options.count; ++s) {
            const auto key = stream_key(s);
            for (uint16_t id = 0; id < fragments && written < options.count; ++id) {
                kelvra::msgs::video::control_data control;
                control.sequence_number = ++control_seq[s];
                control.minimal_roundtrip = 20'000;
                control.maximum_roundtrip = 40'000;
                control.bitrate_est = 4'000'000;
                control.video_format = 1;
                kelvra::msgs::video::video_fragment_info info;
                info.sequence_number = frame;
                info.fragment_id = id;
                info.fragments_number = fragments;
                info.type = keyframe ? kelvra::msgs::video::video_fragment_info::KEYFRAME : 0;
                payload.resize(id + 1 == fragments ? kFragmentBytes / 2 : kFragmentBytes);
                for (size_t b = 0; b < payload.size(); ++b) payload[b] = uint8_t(b + frame);
                const auto datagram = kelvra::testing::seal_video_datagram(
                    kFirstManet + s, 0, key.data(), control, info, payload);
                const auto size = static_cast<uint16_t>(datagram.size());
                out.write(reinterpret_cast<const char*>(&size), sizeof(size));
                out.write(reinterpret_cast<const char*>(datagram.data()), size);
                ++written;
            }
        }
    }
    out.close();
    std::filesystem::rename(path + ".part", path);
    return path;
}

std::vector<std::vector<uint8_t>> load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::vector<uint8_t>> datagrams;
    uint16_t size = 0;
    while (in.read(reinterpret_cast<char*>(&size), sizeof(size))) {
        std::vector<uint8_t> datagram(size);
        in.read(reinterpret_cast<char*>(datagram.data()), size);
        datagrams.push_back(std::move(datagram));
    }
    return datagrams;
}

// A gateway with the streams announced, reporting their state (so it has created them).
struct Setup {
    SignallingPeer peer{kManetKey};
    std::unique_ptr<GatewayProcess> gateway;

    explicit Setup(const Options& options) {
        std::string extra;
        if (options.receive_buffer > 0) {
            extra = fmt::format("\"receive_buffer_bytes\": {}", options.receive_buffer);
        }
        gateway = std::make_unique<GatewayProcess>(
            kelvra::testing::GatewayConfig{.signalling_port = peer.port(),
                                           .log_level = 4,
                                           .extra_json = extra,
                                           .binary = options.gateway});
        if (!peer.accept(5s)) throw std::runtime_error("the gateway did not connect");
        for (uint32_t s = 0; s < options.streams; ++s) {
            peer.send_set_stream(kFirstManet + s, 0, true, stream_key(s).data());
        }
        const auto deadline = Clock::now() + 5s;
        while (peer.count(kelvra::msgs::video::stream_state::TYPE) < options.streams &&
               Clock::now() < deadline) {
            peer.poll_input(50ms);
        }
    }
};

UniqueFd sender_socket(uint16_t gateway_port) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM, 0));
    const int buffer = 64 << 20;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0) {
        setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    }
    sockaddr_in gateway{};
    gateway.sin_family = AF_INET;
    gateway.sin_port = htons(gateway_port);
    gateway.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&gateway), sizeof(gateway)) != 0) {
        throw std::runtime_error("connect");
    }
    return fd;
}

// video_stats replies waiting on the socket, read without blocking.
size_t drain_replies(int fd) {
    size_t stats = 0;
    std::array<uint8_t, 64> reply{};
    for (;;) {
        const ssize_t n = ::recv(fd, reply.data(), reply.size(), MSG_DONTWAIT);
        if (n <= 0) return stats;
        if (reply[0] == kVideoStatsId) ++stats;
    }
}

struct RunResult {
    size_t sent = 0;
    size_t accepted = 0;
    double seconds = 0;
    double gateway_cpu = 0;
};

RunResult replay(const Options& options, const std::vector<std::vector<uint8_t>>& datagrams,
                 double rate) {
    Setup setup(options);
    UniqueFd fd = sender_socket(setup.gateway->udp_port());
    const pid_t pid = setup.gateway->process().pid();

    std::array<mmsghdr, kSendBurst> headers{};
    std::array<iovec, kSendBurst> vectors{};
    RunResult result;
    const double cpu_before = cpu_seconds(pid);
    const auto start = Clock::now();
    const double per_second = rate;
    while (result.sent < datagrams.size()) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto due = std::min(datagrams.size(), static_cast<size_t>(elapsed * per_second) + 1);
        if (due <= result.sent) {
            result.accepted += drain_replies(fd.get());
            continue;
        }
        const size_t burst = std::min(due - result.sent, kSendBurst);
        for (size_t i = 0; i < burst; ++i) {
            auto& datagram = datagrams[result.sent + i];
            vectors[i] = iovec{const_cast<uint8_t*>(datagram.data()), datagram.size()};
            headers[i] = mmsghdr{};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = ::sendmmsg(fd.get(), headers.data(), static_cast<unsigned>(burst), 0);
        if (sent > 0) result.sent += static_cast<size_t>(sent);
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Replies still in flight: wait until none has come for a while.
    auto last_reply = Clock::now();
    while (Clock::now() - last_reply < 300ms) {
        const size_t got = drain_replies(fd.get());
        if (got > 0) last_reply = Clock::now();
        result.accepted += got;
        std::this_thread::sleep_for(1ms);
    }
    result.gateway_cpu = cpu_seconds(pid) - cpu_before;
    setup.gateway->stop();
    return result;
}

std::vector<double> parse_rates(const std::string& text) {
    std::vector<double> rates;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) rates.push_back(std::stod(item));
    return rates;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error("missing value for " + arg);
            return argv[++i];
        };
        if (arg == "--streams")
            options.streams = static_cast<uint32_t>(std::stoul(value()));
        else if (arg == "--rates")
            options.rates = parse_rates(value());
        else if (arg == "--count")
            options.count = std::stoul(value());
        else if (arg == "--dir")
            options.dir = value();
        else if (arg == "--gateway")
            options.gateway = value();
        else if (arg == "--receive-buffer")
            options.receive_buffer = std::stoull(value());
        else if (arg == "--idle")
            options.idle_seconds = std::stod(value());
        else if (arg == "--stop-at-loss")
            options.stop_at_loss = true;
        else
            throw std::runtime_error("unknown option " + arg);
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(argc, argv);
    } catch (const std::exception& e) {
        fmt::print(stderr, "{}\nusage: {} --streams S (--rates R1,R2,... | --idle SECONDS) ...\n",
                   e.what(), argv[0]);
        return 2;
    }

    if (options.idle_seconds > 0) {
        Setup setup(options);
        const pid_t pid = setup.gateway->process().pid();
        const double before = cpu_seconds(pid);
        std::this_thread::sleep_for(std::chrono::duration<double>(options.idle_seconds));
        const double cpu = cpu_seconds(pid) - before;
        fmt::print("idle streams={} seconds={} gateway_cpu_percent={:.2f}\n", options.streams,
                   options.idle_seconds, 100.0 * cpu / options.idle_seconds);
        setup.gateway->stop();
        return 0;
    }

    const auto datagrams = load(ensure_file(options));
    fmt::print("{:>7} {:>9} {:>9} {:>9} {:>7} {:>13}\n", "streams", "rate/s", "sent", "accepted",
               "lost", "cpu_us/dgram");
    for (const double rate : options.rates) {
        const RunResult run = replay(options, datagrams, rate);
        const size_t lost = run.sent - std::min(run.sent, run.accepted);
        fmt::print("{:>7} {:>9.0f} {:>9} {:>9} {:>7} {:>13.2f}\n", options.streams,
                   static_cast<double>(run.sent) / run.seconds, run.sent, run.accepted, lost,
                   1e6 * run.gateway_cpu / static_cast<double>(run.sent));
        std::fflush(stdout);
        if (options.stop_at_loss && lost > 0) break;
    }
    return 0;
}
