// A long run of the real gateway under churn: several lossy, duplicating, reordering streams
// from the sender simulator, test viewers joining and leaving one of them (some of their session
// children killed rather than ended), and the signalling server going away and coming back now
// and then. Afterwards it checks, from the gateway's trace log and /proc, that no stream had a
// frame released twice or out of order, that the gateway's memory and descriptors stayed flat
// after warm-up, and that every session child was reaped. Start it through scripts/soak.sh (it
// needs a loopback-only network namespace):
//   sh tests/run_in_netns.sh build/bench/gateway_soak [seconds, default 120] [copy of the log]
// Prints samples and checks; exits 1 when a check fails.

#include <fmt/format.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/gateway_sessions.hpp"

namespace {

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
constexpr uint32_t kFirstManet = kelvra::testing::kTestManet;  // viewers watch this stream
constexpr uint8_t kCamera = kelvra::testing::kTestCamera;
constexpr int kStreams = 3;
constexpr size_t kMaxViewers = 3;
constexpr auto kServerRestartEvery = 25s;
constexpr auto kServerDowntime = 2s;
constexpr auto kSampleEvery = 5s;

bool failed = false;

void check(bool ok, const std::string& what) {
    fmt::print("{} {}\n", ok ? "ok  " : "FAIL", what);
    failed = failed || !ok;
}

long vm_rss_kb(int pid) {
    std::ifstream in(fmt::format("/proc/{}/status", pid));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

struct Sample {
    double at_s;
    long rss_kb;
    size_t fds;
    size_t sessions;
};

struct Viewer {
    std::unique_ptr<WebrtcViewer> webrtc;
    Clock::time_point leave_at;
    int child = -1;  // pid of its session child
};

// Frames as the gateway released them: each trace line "Send new frame: ..., seq=N, ..." is
// followed by the debug line with its detections count, and stream i carries i + 1 boxes.
// What the gateway's log tells after the run. Frames as released: each trace line "Send new
// frame: ..., seq=N, ..." is followed by the debug line with its detections count, and stream i
// carries i + 1 boxes.
struct LogFindings {
    std::map<int, uint64_t> frames;
    std::map<int, uint64_t> repeated;
    std::map<int, uint64_t> backwards;
    uint64_t unattributed = 0;
    std::vector<int> children;
    bool children_outlived_stop = false;
};

LogFindings scan_log(const std::filesystem::path& path) {
    LogFindings result;
    std::map<int, uint64_t> last_seq;
    std::ifstream lines(path);
    bool pending = false;
    uint64_t seq = 0;
    for (std::string line; std::getline(lines, line);) {
        if (const auto at = line.find("]: Send new frame: "); at != std::string::npos) {
            seq = std::stoull(line.substr(line.find("seq=", at) + 4));
            pending = true;
        } else if (const auto d = line.find("]: Norvane::send_new_frames got detections ");
                   d != std::string::npos && pending) {
            const int stream = std::stoi(line.substr(line.rfind(' ') + 1)) - 1;
            pending = false;
            if (stream < 0 || stream >= kStreams) {
                ++result.unattributed;
                continue;
            }
            ++result.frames[stream];
            const auto last = last_seq.find(stream);
            if (last != last_seq.end() && seq == last->second) ++result.repeated[stream];
            if (last != last_seq.end() && seq < last->second) ++result.backwards[stream];
            last_seq[stream] = std::max(seq, last == last_seq.end() ? seq : last->second);
        } else if (const auto p = line.find("]: Spawned session with pid ");
                   p != std::string::npos) {
            result.children.push_back(std::stoi(line.substr(line.rfind(' ') + 1)));
        } else if (line.find("Not all the children terminated!") != std::string::npos) {
            result.children_outlived_stop = true;
        }
    }
    return result;
}

class Soak {
public:
    Soak(std::chrono::seconds length, std::string log_copy)
        : length_(length), log_copy_(std::move(log_copy)) {
        GatewayConfig config;
        config.signalling_port = peer_.port();
        config.log_level = 0;  // trace: every released frame with its sequence number
        config.ice_local_addresses = {"127.0.0.1"};
        config.extra_json = "\"latency_ms\": 400";
        gateway_ = std::make_unique<GatewayProcess>(config);
        if (!peer_.accept(5s)) throw std::runtime_error("the gateway did not connect");
        announce();
        if (!gateway_->wait_for_log(
                fmt::format("Add new stream with manet address {:x}", kFirstManet + kStreams - 1),
                5s)) {
            throw std::runtime_error("the gateway did not add the streams");
        }
        for (int i = 0; i < kStreams; ++i) {
            const auto text = fmt::format(
                "--gateway {} --manet-addr {:08X} --camera {} --key {} --encode vp8 --fps 30 "
                "--detections {} --duration {} --linger-ms 0 --loss 0.1 --dup 0.05 --reorder 4 "
                "--seed {}",
                gateway_->gateway_address(), kFirstManet + i, kCamera, kStreamKeyHex, i + 1,
                length.count(), i + 1);
            std::istringstream words(text);
            senders_.push_back(std::make_unique<ProcessRunner>(
                NORVANE_SENDER_BINARY,
                std::vector<std::string>{std::istream_iterator<std::string>(words), {}}));
        }
    }

    int run() {
        const int gateway = gateway_->process().pid();
        const auto start = Clock::now();
        const auto end = start + length_;
        auto next_restart = start + kServerRestartEvery;
        auto next_sample = start;
        while (Clock::now() < end) {
            churn_viewers();
            if (Clock::now() >= next_restart) {
                restart_server();
                next_restart = Clock::now() + kServerRestartEvery;
            }
            if (Clock::now() >= next_sample) {
                samples_.push_back({std::chrono::duration<double>(Clock::now() - start).count(),
                                    vm_rss_kb(gateway), kelvra::testing::open_descriptors(gateway),
                                    viewers_.size() + orphaned_.size()});
                const Sample& s = samples_.back();
                fmt::print("sample t={:.0f}s rss={}kB fds={} sessions={}\n", s.at_s, s.rss_kb,
                           s.fds, s.sessions);
                std::fflush(stdout);
                next_sample += kSampleEvery;
            }
            relay_.run_for(100ms);
        }
        while (!viewers_.empty()) leave(viewers_.begin()->first);
        for (auto& sender : senders_) sender->send_signal(SIGTERM);
        for (auto& sender : senders_) sender->wait(10s);
        relay_.run_for(2s);
        return finish(gateway);
    }

private:
    void announce() {
        for (int i = 0; i < kStreams; ++i)
            peer_.send_set_stream(kFirstManet + i, kCamera, true, kStreamKey);
    }

    void churn_viewers() {
        const auto now = Clock::now();
        for (auto it = viewers_.begin(); it != viewers_.end();) {
            const uint32_t consumer = it->first;
            ++it;
            if (viewers_.at(consumer).leave_at <= now) leave(consumer);
        }
        if (viewers_.size() < kMaxViewers && peer_.has_connection()) join();
    }

    void join() {
        const uint32_t consumer = next_consumer_++;
        Viewer viewer{
            std::make_unique<WebrtcViewer>(),
            Clock::now() + std::chrono::seconds(std::uniform_int_distribution(5, 20)(random_))};
        relay_.attach(consumer, *viewer.webrtc);
        const auto before = children();
        peer_.send_session_request(kFirstManet, consumer, kCamera);
        const auto response = peer_.wait_for<session_response>(5s);
        ++requests_;
        if (!response || response->result != 0) {
            ++refused_;
            relay_.detach(consumer);
            return;
        }
        for (int pid : children()) {
            if (!before.count(pid)) viewer.child = pid;
        }
        viewers_.emplace(consumer, std::move(viewer));
    }

    void leave(uint32_t consumer) {
        Viewer& viewer = viewers_.at(consumer);
        watched_ += viewer.webrtc->decoded_frames() > 0;
        decoded_ += viewer.webrtc->decoded_frames();
        // Every fourth viewer's child dies instead of being ended: the gateway has to notice.
        if (++left_ % 4 == 0 && viewer.child > 0) {
            kill(viewer.child, SIGKILL);
            ++killed_;
        } else if (peer_.has_connection())
            // A server that is away cannot end the session; the gateway keeps it until it is
            // back.
            peer_.send_terminate_session(consumer, kCamera);
        else
            orphaned_.push_back(consumer);
        relay_.detach(consumer);
        viewers_.erase(consumer);
    }

    std::set<int> children() const {
        std::set<int> pids;
        for (const auto& [pid, state] : kelvra::testing::children_of(gateway_->process().pid())) {
            if (state != 'Z') pids.insert(pid);
        }
        return pids;
    }

    // The server goes away and returns with a clean slate: it announces its streams again and
    // ends the sessions of viewers that left meanwhile.
    void restart_server() {
        ++restarts_;
        peer_.stop_listening();
        peer_.close_connection();
        std::this_thread::sleep_for(kServerDowntime);
        if (!peer_.listen_again() || !peer_.accept(10s)) {
            throw std::runtime_error("the gateway did not come back to the signalling server");
        }
        announce();
        for (uint32_t consumer : orphaned_) peer_.send_terminate_session(consumer, kCamera);
        orphaned_.clear();
    }

    int finish(int gateway) {
        // With every viewer gone, every child has been asked to end, or was killed.
        const auto deadline = Clock::now() + 5s;
        while (Clock::now() < deadline && !children().empty()) {
            std::this_thread::sleep_for(50ms);
        }
        const size_t left = children().size();
        const size_t zombies = kelvra::testing::zombies_of(gateway);
        const auto status = gateway_->stop(5s);
        const auto log_path = gateway_->directory() / "norvane.log";
        const LogFindings found = scan_log(log_path);
        const auto& spawned = found.children;
        const size_t survivors =
            std::count_if(spawned.begin(), spawned.end(), kelvra::testing::alive);

        fmt::print("\nsoak: {} s, {} streams, {} server restarts\n", length_.count(), kStreams,
                   restarts_);
        fmt::print(
            "sessions: {} requested, {} refused, {} children spawned, {} killed, {} viewers "
            "decoded video ({} frames)\n",
            requests_, refused_, spawned.size(), killed_, watched_, decoded_);
        uint64_t repeated = 0, backwards = 0;
        for (int i = 0; i < kStreams; ++i) {
            fmt::print("stream {:08X}: {} frames released, {} twice, {} out of order\n",
                       kFirstManet + i, found.frames.count(i) ? found.frames.at(i) : 0,
                       found.repeated.count(i) ? found.repeated.at(i) : 0,
                       found.backwards.count(i) ? found.backwards.at(i) : 0);
            check(found.frames.count(i) && found.frames.at(i) > 0,
                  fmt::format("stream {:08X} released frames", kFirstManet + i));
            repeated += found.repeated.count(i) ? found.repeated.at(i) : 0;
            backwards += found.backwards.count(i) ? found.backwards.at(i) : 0;
        }
        fmt::print("frames without their stream's detections: {}\n", found.unattributed);
        check(repeated == 0, "no frame released twice");
        check(backwards == 0, "no frame released out of order");

        // Flat after warm-up: the first quarter of the run (at least 20 s) is left out;
        // descriptors are compared net of the four pipe ends of each live session.
        const double warm_up = std::max(20.0, static_cast<double>(length_.count()) / 4);
        std::vector<Sample> steady;
        for (const Sample& s : samples_) {
            if (s.at_s >= warm_up) steady.push_back(s);
        }
        check(steady.size() >= 2, fmt::format("{} samples after warm-up", steady.size()));
        if (steady.size() >= 2) {
            long rss_min = steady.front().rss_kb, rss_max = rss_min;
            long fd_min = 1 << 20, fd_max = 0;
            for (const Sample& s : steady) {
                rss_min = std::min(rss_min, s.rss_kb);
                rss_max = std::max(rss_max, s.rss_kb);
                const long net = static_cast<long>(s.fds) - 4 * static_cast<long>(s.sessions);
                fd_min = std::min(fd_min, net);
                fd_max = std::max(fd_max, net);
            }
            fmt::print("after warm-up: rss {}..{} kB, descriptors net of sessions {}..{}\n",
                       rss_min, rss_max, fd_min, fd_max);
            check(rss_max - steady.front().rss_kb <= 4096 + steady.front().rss_kb / 10,
                  "resident memory flat (within 4 MiB + 10%)");
            // A session ended by the server a moment ago may still be on its way out.
            check(fd_max - fd_min <= 4, "descriptors flat");
        }
        check(left == 0, fmt::format("every child ended ({} left)", left));
        check(zombies == 0, fmt::format("every child reaped ({} zombies)", zombies));
        check(status && status->exited_with(0),
              "gateway stopped cleanly" + (status ? " (" + status->describe() + ")" : ""));
        check(!found.children_outlived_stop && survivors == 0,
              fmt::format("no child outlived the gateway ({} of {})", survivors, spawned.size()));
        if (!log_copy_.empty()) {
            std::filesystem::copy_file(log_path, log_copy_,
                                       std::filesystem::copy_options::overwrite_existing);
            fmt::print("gateway log: {}\n", log_copy_);
        }
        return failed ? 1 : 0;
    }

    std::chrono::seconds length_;
    std::string log_copy_;
    SignallingPeer peer_{kManetKey};
    std::unique_ptr<GatewayProcess> gateway_;
    std::vector<std::unique_ptr<ProcessRunner>> senders_;
    SessionRelay relay_{peer_, kFirstManet, kCamera};
    std::map<uint32_t, Viewer> viewers_;
    std::vector<uint32_t> orphaned_;
    std::vector<Sample> samples_;
    std::mt19937 random_{7};
    uint32_t next_consumer_ = 1;
    size_t requests_ = 0, refused_ = 0, watched_ = 0, restarts_ = 0, left_ = 0, killed_ = 0;
    uint64_t decoded_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const long seconds = argc > 1 ? std::stol(argv[1]) : 120;
    try {
        Soak soak(std::chrono::seconds(seconds), argc > 2 ? argv[2] : "");
        return soak.run();
    } catch (const std::exception& e) {
        fmt::print(stderr, "soak: {}\n", e.what());
        return 1;
    }
}
