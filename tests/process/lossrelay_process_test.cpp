// The built loss relay on loopback between a test sender socket and a test gateway socket.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "kelvra/core/unique_fd.hpp"
#include "support/process_runner.hpp"

namespace kelvra {
namespace {

using namespace std::chrono_literals;
using testing::ProcessRunner;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

UniqueFd udp_socket(uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = loopback(port);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) return {};
    return fd;
}

// One datagram within two seconds, with its source; empty when none came.
std::string receive(int fd, sockaddr_in& from) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) != 1) return "";
    char buffer[2048];
    socklen_t len = sizeof(from);
    const ssize_t n =
        ::recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &len);
    return n < 0 ? "" : std::string(buffer, static_cast<size_t>(n));
}

void send_text(int fd, const std::string& text, const sockaddr_in& to) {
    ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}

TEST(LossRelayProcess, RelaysBothWaysWithTheDelayAndCountsOnStop) {
    const uint16_t relay_port = testing::free_udp_port();
    const uint16_t gateway_port = testing::free_udp_port();
    const UniqueFd gateway = udp_socket(gateway_port);
    const UniqueFd drone = udp_socket(0);
    ProcessRunner relay(NORVANE_LOSSRELAY_BINARY,
                        {"--listen", "127.0.0.1:" + std::to_string(relay_port), "--gateway",
                         "127.0.0.1:" + std::to_string(gateway_port), "--delay-ms", "30"});
    ASSERT_TRUE(relay.wait_for_output("relaying", 5s)) << relay.err();

    for (int i = 0; i < 20; ++i) {
        const auto sent = std::chrono::steady_clock::now();
        const std::string text = "datagram " + std::to_string(i);
        send_text(drone.get(), text, loopback(relay_port));
        sockaddr_in relay_side{};
        ASSERT_EQ(receive(gateway.get(), relay_side), text);
        // The gateway answers the address it was sent from: the relay's own socket.
        EXPECT_NE(ntohs(relay_side.sin_port), relay_port);
        send_text(gateway.get(), "reply " + std::to_string(i), relay_side);
        sockaddr_in ignored{};
        ASSERT_EQ(receive(drone.get(), ignored), "reply " + std::to_string(i));
        const auto round_trip = std::chrono::steady_clock::now() - sent;
        EXPECT_GE(round_trip, 60ms);
        EXPECT_LT(round_trip, 500ms);
    }

    relay.send_signal(SIGTERM);
    const auto status = relay.wait(5s);
    EXPECT_TRUE(status && status->exited_with(0)) << relay.err();
    for (const char* counters :
         {"up_received=20 up_dropped=0 up_overflowed=0 up_forwarded=20",
          "down_received=20 down_dropped=0 down_overflowed=0 down_forwarded=20"}) {
        EXPECT_NE(relay.out().find(counters), std::string::npos) << relay.out();
    }
}

}  // namespace
}  // namespace kelvra
