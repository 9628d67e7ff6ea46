#pragma once

#include <map>
#include <memory>
#include <string>

#include "signal/gateway_port.hpp"
#include "signal/signal_hub.hpp"

namespace kelvra::norvane::signal_server {

// Every configured gateway's port, addressed by gateway name.
class GatewayPorts : public GatewaySink {
public:
    GatewayPorts(const std::vector<GatewayConfig>& gateways, std::chrono::seconds proof_time);

    // Routes the ports' events to the hub and starts listening; throws std::runtime_error when a
    // port cannot be bound.
    void start(SignalHub& hub);
    bool send_frame(const std::string& gateway, const Bytes& frame) override;

private:
    std::vector<GatewayConfig> configs_;
    std::chrono::seconds proof_time_;
    std::map<std::string, std::unique_ptr<GatewayPort>> ports_;
};

}  // namespace kelvra::norvane::signal_server
