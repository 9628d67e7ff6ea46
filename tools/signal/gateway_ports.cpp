#include "signal/gateway_ports.hpp"

namespace kelvra::norvane::signal_server {

GatewayPorts::GatewayPorts(const std::vector<GatewayConfig>& gateways) : configs_(gateways) {}

void GatewayPorts::start(SignalHub& hub) {
    for (const GatewayConfig& config : configs_) {
        const std::string name = config.name;
        GatewayPort::Handler handler{
            [&hub, name] { hub.gateway_connected(name); },
            [&hub, name] { hub.gateway_disconnected(name); },
            [&hub, name](const messgen::MessageInfo& frame) { hub.gateway_frame(name, frame); }};
        auto port = std::make_unique<GatewayPort>(config, std::move(handler));
        port->start();
        ports_.emplace(name, std::move(port));
    }
}

bool GatewayPorts::send_frame(const std::string& gateway, const Bytes& frame) {
    const auto it = ports_.find(gateway);
    return it != ports_.end() && it->second->send_frame(frame);
}

}  // namespace kelvra::norvane::signal_server
