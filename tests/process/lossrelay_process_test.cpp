// The built loss relay on loopback between a test sender socket and a test gateway socket.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "kelvra/core/unique_fd.hpp"
#include "support/process_runner.hpp"

namespace kelvra {
namespace {

using namespace std::chrono_literals;
using testing::ProcessRunner;
using SteadyClock = std::chrono::steady_clock;

// Built next to the sender simulator.
const std::string kRelay = std::string(NORVANE_LOSSRELAY_BINARY);

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

// One datagram within `timeout`, with its source.
std::optional<std::string> receive(int fd, std::chrono::milliseconds timeout,
                                   sockaddr_in* from = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char buffer[2048];
    sockaddr_in source{};
    socklen_t len = sizeof(source);
    const ssize_t n =
        ::recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&source), &len);
    if (n < 0) return std::nullopt;
    if (from) *from = source;
    return std::string(buffer, static_cast<size_t>(n));
}

void send_text(int fd, const std::string& text, const sockaddr_in& to) {
    ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}

class LossRelayProcess : public ::testing::Test {
protected:
    void start(std::vector<std::string> extra) {
        ASSERT_EQ(access(kRelay.c_str(), X_OK), 0) << kRelay << " is not built";
        std::vector<std::string> args = {"--listen", "127.0.0.1:" + std::to_string(relay_port),
                                         "--gateway", "127.0.0.1:" + std::to_string(gateway_port)};
        args.insert(args.end(), extra.begin(), extra.end());
        relay = std::make_unique<ProcessRunner>(kRelay, args);
        ASSERT_TRUE(relay->wait_for_output("relaying", 5s)) << relay->err();
    }

    // Stops the relay and returns its counters line.
    std::string stop() {
        relay->send_signal(SIGTERM);
        const auto status = relay->wait(5s);
        EXPECT_TRUE(status && status->exited_with(0)) << relay->err();
        const size_t at = relay->out().find("counters ");
        return at == std::string::npos ? "" : relay->out().substr(at);
    }

    uint16_t relay_port = testing::free_udp_port();
    uint16_t gateway_port = testing::free_udp_port();
    UniqueFd gateway = udp_socket(gateway_port);
    UniqueFd drone = udp_socket(0);
    std::unique_ptr<ProcessRunner> relay;
};

TEST_F(LossRelayProcess, RelaysBothWaysWithTheDelayAndCountsOnStop) {
    start({"--delay-ms", "30"});
    constexpr int kCount = 20;
    for (int i = 0; i < kCount; ++i) {
        const auto sent = SteadyClock::now();
        const std::string text = "datagram " + std::to_string(i);
        send_text(drone.get(), text, loopback(relay_port));
        sockaddr_in relay_side{};
        const auto up = receive(gateway.get(), 2s, &relay_side);
        ASSERT_EQ(up, text);
        // The gateway answers the address it was sent from: the relay's own socket.
        EXPECT_NE(ntohs(relay_side.sin_port), relay_port);
        send_text(gateway.get(), "reply " + std::to_string(i), relay_side);
        const auto down = receive(drone.get(), 2s);
        ASSERT_EQ(down, "reply " + std::to_string(i));
        const auto round_trip = SteadyClock::now() - sent;
        EXPECT_GE(round_trip, 60ms);
        EXPECT_LT(round_trip, 500ms);
    }
    const std::string counters = stop();
    EXPECT_NE(counters.find("up_received=20 up_dropped=0 up_overflowed=0 up_forwarded=20"),
              std::string::npos)
        << counters;
    EXPECT_NE(counters.find("down_received=20 down_dropped=0 down_overflowed=0 down_forwarded=20"),
              std::string::npos)
        << counters;
}

}  // namespace
}  // namespace kelvra
