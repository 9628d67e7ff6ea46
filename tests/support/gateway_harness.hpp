#pragma once

#include <netinet/in.h>
#include <spdlog/sinks/ostream_sink.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kelvra/core/time.hpp"
#include "kelvra/core/unique_fd.hpp"
#include "kelvra/manet/manet_config.hpp"
#include "kelvra/norvane/gateway/norvane.hpp"
#include "support/log_capture.hpp"

namespace kelvra::testing {

struct GatewayHarnessOptions {
    bool log_statistics = false;
    bool save_statistics_to_file = false;
    uint16_t signalling_port = 1;  // nothing listens there unless a test says so
};

// A gateway object in this process, driven step by step with a manual clock: datagrams come
// from a local "sender" socket, signalling messages are handed to the dispatcher directly, and
// everything the gateway logs is captured.
class GatewayHarness {
public:
    explicit GatewayHarness(GatewayHarnessOptions options = {});
    ~GatewayHarness();

    Norvane& gateway() { return *gateway_; }
    ManualClock& clock() { return clock_; }
    const std::filesystem::path& directory() const { return dir_; }

    // Hands a frame to the gateway as if it came from the signalling server.
    void signal(const std::vector<uint8_t>& frame);
    // Hands a set_stream message to the gateway as if it came from the signalling server.
    void announce(uint32_t manet_addr, uint8_t camera_type, const uint8_t* key,
                  bool enabled = true);

    // Sends from the sender socket, or from another loopback address (127.0.0.x); read() lets
    // the gateway take what is queued.
    void send(const std::vector<uint8_t>& datagram) { send_on(sender_socket_.get(), datagram); }
    void send_from(const char* source_ip, const std::vector<uint8_t>& datagram);
    void read() { gateway_->read_video_data(pollfd{gateway_socket_, POLLIN, POLLIN}); }
    // One turn of the per-stream work at the clock's current time.
    void serve() { gateway_->serve_streams(clock_.now_us()); }

    // Datagrams the gateway sent to the sender socket so far (drained).
    std::vector<std::vector<uint8_t>> sender_inbox();

    std::string log() const { return log_.str(); }
    void clear_log() { log_.str(""); }
    size_t count_in_log(const std::string& text) const { return occurrences(log_.str(), text); }

private:
    void send_on(int fd, const std::vector<uint8_t>& datagram);

    std::filesystem::path dir_;
    ManualClock clock_;
    std::ostringstream log_;
    std::shared_ptr<spdlog::sinks::ostream_sink_st> sink_;
    manet::ManetConfig manet_{};
    int gateway_socket_ = -1;  // owned by the harness; the gateway never closes it
    UniqueFd sender_socket_;
    sockaddr_in gateway_address_{};
    std::unique_ptr<Norvane> gateway_;
};

}  // namespace kelvra::testing
