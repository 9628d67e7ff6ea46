// Runs the built norvane-sender against a fake gateway on loopback.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kelvra/core/time.hpp"
#include "kelvra/core/unique_fd.hpp"
#include "open_datagram.hpp"
#include "support/gateway_process.hpp"

namespace kelvra::norvane::sender {
namespace {

using testing::open_datagram;
using testing::OpenedDatagram;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

TEST(SenderBinary, EncodesFragmentsSealsAnswersARequestSummarisesAndWritesFrameTimes) {
    if (access(NORVANE_SENDER_BINARY, X_OK) != 0) GTEST_SKIP() << "norvane-sender is not built";
    sockaddr_in addr;
    const UniqueFd gw = kelvra::testing::loopback_socket(SOCK_DGRAM, addr);
    const auto times_path = std::filesystem::temp_directory_path() /
                            ("norvane-frame-times-" + std::to_string(getpid()) + ".txt");
    const int64_t before = time_utc_us();

    kelvra::testing::ProcessRunner p(
        NORVANE_SENDER_BINARY,
        {"--gateway=127.0.0.1:" + std::to_string(ntohs(addr.sin_port)),
         "--key=00112233445566778899aabbccddeeff", "--manet-addr=00001234", "--camera=2",
         "--encode=vp8", "--frames=6", "--fps=50", "--keyframe-interval=3", "--detections=2",
         "--flight=9", "--linger-ms=300", "--expect-stats",
         "--frame-times=" + times_path.string()});
    // Answers every datagram with statistics, and the first one also with a request for
    // fragment 0 of frame 0, until the sender exits.
    std::vector<OpenedDatagram> got;
    const auto end = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < end) {
        pollfd pfd{gw.get(), POLLIN, 0};
        if (::poll(&pfd, 1, 20) != 1) {
            if (p.wait(std::chrono::milliseconds(1))) break;
            continue;
        }
        std::vector<uint8_t> d(2048);
        sockaddr_in peer{};
        socklen_t peer_len = sizeof(peer);
        const ssize_t n = recvfrom(gw.get(), d.data(), d.size(), 0,
                                   reinterpret_cast<sockaddr*>(&peer), &peer_len);
        if (n < 0) continue;
        d.resize(static_cast<size_t>(n));
        const auto opened = open_datagram(d, kKey);
        EXPECT_TRUE(opened) << "datagram of " << n << " bytes did not open";
        if (!opened) continue;
        std::vector<uint8_t> stats = {11, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        messgen::store_le(stats.data() + 9, opened->info.sequence_number);
        const auto reply = [&](const std::vector<uint8_t>& r) {
            sendto(gw.get(), r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&peer), peer_len);
        };
        reply(stats);
        if (got.empty()) reply(testing::request_datagram(0, 0));
        got.push_back(*opened);
    }
    const int64_t after = time_utc_us();
    ASSERT_TRUE(p.status() && p.status()->exited_with(0)) << p.out() << p.err();

    // What each datagram holds is the stream sender's unit test; here, what the program adds:
    // the encoder's keyframes every third frame, and the command line's stream and flight.
    ASSERT_FALSE(got.empty());
    for (const OpenedDatagram& d : got) {
        EXPECT_EQ(d.control.flight_id, 9);
        EXPECT_EQ(d.info.type & 1, d.info.sequence_number % 3 == 0 ? 1 : 0) << "keyframe bit";
    }

    auto summary = kelvra::testing::sender_summary(p.out());
    EXPECT_EQ(summary["frames"], 6u);
    EXPECT_EQ(summary["datagrams"], got.size());
    EXPECT_EQ(summary["fragments"], got.size() - 1);
    EXPECT_EQ(summary["resends"], 1u);
    EXPECT_EQ(summary["requests"], 1u);
    EXPECT_EQ(summary["stats"], got.size());

    // One line per frame: its number, its wall-clock send time and its keyframe flag.
    std::ifstream in(times_path);
    std::vector<int64_t> times;
    uint32_t frame = 0;
    int64_t sent_us = 0;
    int keyframe = 0;
    while (in >> frame >> sent_us >> keyframe) {
        EXPECT_EQ(frame, times.size());
        EXPECT_EQ(keyframe, frame % 3 == 0 ? 1 : 0) << "frame " << frame;
        EXPECT_GE(sent_us, times.empty() ? before : times.back());
        EXPECT_LE(sent_us, after);
        times.push_back(sent_us);
    }
    std::filesystem::remove(times_path);
    ASSERT_EQ(times.size(), 6u);
    // Paced at 50 frames per second: five periods of 20 ms between the first and the last.
    EXPECT_GE(times.back() - times.front(), 90'000);
}

}  // namespace
}  // namespace kelvra::norvane::sender
