#include "signal/gateway_ports.hpp"

namespace kelvra::norvane::signal_server {

GatewayPorts::GatewayPorts(const std::vector<GatewayConfig>& gateways,
                           std::chrono::seconds proof_time)
    : configs_(gateways), proof_time_(proof_time) {}

void GatewayPorts::start(SignalHub& hub) {
    for (const GatewayConfig& config : configs_) {
        const std::string name = config.name;
        GatewayPort::Handler handler{
            [&hub, name] { hub.gateway_connected(name); },
            [&hub, name] { hub.gateway_disconnected(name); },
            [&hub, name](const messgen::MessageInfo& frame) { hub.gateway_frame(name, frame); },
            [&hub, name](uint32_t manet_addr, uint8_t camera) {
                return hub.knows_stream({name, manet_addr, camera});
            }};
        auto port = std::make_unique<GatewayPort>(config, proof_time_, std::move(handler));
        port->start();
        ports_.emplace(name, std::move(port));
    }
}

bool GatewayPorts::send_frame(const std::string& gateway, const Bytes& frame) {
    const auto it = ports_.find(gateway);
    return it != ports_.end() && it->second->send_frame(frame);
}

}  // namespace kelvra::norvane::signal_server
