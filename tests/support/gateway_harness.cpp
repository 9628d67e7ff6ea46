#include "support/gateway_harness.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/process_runner.hpp"
#include "support/signalling_peer.hpp"

namespace kelvra::testing {
namespace {

int bound_udp_socket(const char* ip) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    inet_pton(AF_INET, ip, &addr.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ADD_FAILURE() << "bind " << ip;
    }
    // Room for the bursts the tests send before the gateway reads (capped by the system
    // unless the process may pass over the limit).
    const int buffer = 4 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    }
    return fd;
}

}  // namespace

GatewayHarness::GatewayHarness(GatewayHarnessOptions options)
    : dir_(make_temp_dir("norvane-gw-")),
      sink_(std::make_shared<spdlog::sinks::ostream_sink_st>(log_)) {
    sink_->set_pattern("%v");
    spdlog::default_logger()->sinks().push_back(sink_);
    spdlog::set_level(spdlog::level::trace);

    gateway_socket_ = bound_udp_socket("127.0.0.1");
    socklen_t len = sizeof(gateway_address_);
    getsockname(gateway_socket_, reinterpret_cast<sockaddr*>(&gateway_address_), &len);
    sender_socket_.reset(bound_udp_socket("127.0.0.1"));

    auto signalling = std::make_unique<norvane::SignallingClient>(
        "127.0.0.1", std::to_string(options.signalling_port), &manet_);
    gateway_ = std::make_unique<Norvane>(
        gateway_socket_, std::make_unique<RuntimeManager>(), std::move(signalling), "stun:3478",
        "u:p@turn:3478", spdlog::level::trace, options.log_statistics, (dir_ / "flights").string(),
        15'000'000, options.save_statistics_to_file, clock_, (dir_ / "logs").string() + "/");
    auto gateway_logger = spdlog::get("Norvane");
    gateway_logger->sinks().front()->set_level(spdlog::level::off);  // keep test output readable
    gateway_logger->sinks().push_back(sink_);
}

GatewayHarness::~GatewayHarness() {
    gateway_.reset();
    auto& sinks = spdlog::default_logger()->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    ::close(gateway_socket_);
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    // The supervisor blocked every signal in this thread; later tests expect the usual mask.
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_UNBLOCK, &all, nullptr);
}

void GatewayHarness::announce(uint32_t manet_addr, uint8_t camera_type, const uint8_t* key,
                              bool enabled) {
    signal(SignallingPeer::set_stream_frame(manet_addr, camera_type, enabled, key));
}

void GatewayHarness::signal(const std::vector<uint8_t>& frame) {
    gateway_->on_signalling_message(info_of(frame));
}

void GatewayHarness::send_from(const char* source_ip, const std::vector<uint8_t>& datagram) {
    const UniqueFd other(bound_udp_socket(source_ip));
    send_on(other.get(), datagram);
}

void GatewayHarness::send_on(int fd, const std::vector<uint8_t>& datagram) {
    ::sendto(fd, datagram.data(), datagram.size(), 0,
             reinterpret_cast<const sockaddr*>(&gateway_address_), sizeof(gateway_address_));
}

std::vector<std::vector<uint8_t>> GatewayHarness::sender_inbox() {
    std::vector<std::vector<uint8_t>> out;
    uint8_t buf[2048];
    for (;;) {
        const ssize_t n = ::recv(sender_socket_.get(), buf, sizeof(buf), MSG_DONTWAIT);
        if (n < 0) break;
        out.emplace_back(buf, buf + n);
    }
    return out;
}

}  // namespace kelvra::testing
