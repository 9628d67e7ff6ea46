// Datagrams per second one gateway process takes without loss from the sender simulator on
// loopback, for 1, 10 and 50 streams, with the gateway's CPU use. Runs the real binaries:
//   gateway_throughput <norvane> <norvane-sender> <ivf file>
// Loss is counted as datagrams sent minus video_stats received (one per accepted datagram).

#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "proc_stats.hpp"
#include "support/gateway_process.hpp"
#include "support/signalling_peer.hpp"

namespace {

using kelvra::bench::cpu_seconds;

using namespace std::chrono_literals;
using kelvra::testing::GatewayProcess;
using kelvra::testing::SignallingPeer;

const uint8_t kManetKey[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fmt::print(stderr, "usage: {} <ivf file>\n", argv[0]);
        return 2;
    }
    const std::string ivf = argv[1];
    fmt::print("{:>8} {:>8} {:>12} {:>10} {:>8} {:>10}\n", "streams", "fps", "datagrams/s", "lost",
               "loss%", "gw CPU%");
    for (uint32_t streams : {1u, 10u, 50u}) {
        for (double fps : {30.0, 60.0, 120.0, 240.0}) {
            SignallingPeer peer(kManetKey);
            GatewayProcess gateway({.signalling_port = peer.port(), .log_level = 4});
            if (!peer.accept(5s)) return 1;
            const uint8_t key[16] = {};
            for (uint32_t i = 0; i < streams; ++i) peer.send_set_stream(0x100 + i, 0, true, key);
            std::this_thread::sleep_for(200ms);

            const double cpu_before = cpu_seconds(gateway.process().pid());
            const auto started = std::chrono::steady_clock::now();
            const auto run = kelvra::testing::run_sender(
                {"--gateway", gateway.gateway_address(), "--manet-addr", "100", "--key",
                 "00000000000000000000000000000000", "--streams", std::to_string(streams), "--ivf",
                 ivf, "--loop", "--duration", "3", "--fps", fmt::format("{}", fps), "--linger-ms",
                 "300"},
                60s);
            const double wall =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            const double cpu = cpu_seconds(gateway.process().pid()) - cpu_before;
            if (!run.summary.count("datagrams")) {
                fmt::print(stderr, "sender failed: {}\n{}\n", run.out, run.err);
                return 1;
            }
            const double sent = static_cast<double>(run.summary.at("datagrams"));
            const double lost = sent - static_cast<double>(run.summary.at("stats"));
            const double sending_time = wall - 0.3;
            fmt::print("{:>8} {:>8} {:>12.0f} {:>10.0f} {:>8.2f} {:>10.0f}\n", streams, fps,
                       sent / sending_time, lost, 100.0 * lost / sent, 100.0 * cpu / wall);
            std::fflush(stdout);
            gateway.stop();
            if (lost / sent > 0.05) break;
        }
    }
    return 0;
}
