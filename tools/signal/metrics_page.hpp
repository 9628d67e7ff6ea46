#pragma once

#include <map>
#include <string>
#include <vector>

#include "signal/stream_catalogue.hpp"

namespace kelvra::norvane::signal_server {

struct GatewayFigures {
    std::string name;
    bool connected = false;
    size_t viewers = 0;
};

// The /metrics page: every stream's latest figures and viewers, every gateway's connection and
// viewers, and the number of viewer connections.
std::string metrics_page(const StreamCatalogue& streams,
                         const std::map<StreamId, size_t>& stream_viewers,
                         const std::vector<GatewayFigures>& gateways, size_t viewer_connections);

}  // namespace kelvra::norvane::signal_server
