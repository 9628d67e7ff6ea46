#include "signal/metrics_page.hpp"

#include "signal/metrics_text.hpp"

namespace kelvra::norvane::signal_server {

namespace {

struct Figure {
    const char* name;
    const char* help;
    uint64_t (*value)(const StreamEntry& entry, size_t viewers);
};

constexpr Figure kStreamFigures[] = {
    {"norvane_stream_min_roundtrip", "Shortest round trip to the drone reported by the gateway",
     [](const StreamEntry& e, size_t) -> uint64_t { return e.figures.min_roundtrip; }},
    {"norvane_stream_max_roundtrip", "Longest round trip to the drone reported by the gateway",
     [](const StreamEntry& e, size_t) -> uint64_t { return e.figures.max_roundtrip; }},
    {"norvane_stream_lost_frames", "Frames lost",
     [](const StreamEntry& e, size_t) -> uint64_t { return e.figures.lost_frames; }},
    {"norvane_stream_delayed_frames", "Frames delayed",
     [](const StreamEntry& e, size_t) -> uint64_t { return e.figures.delayed_frames; }},
    {"norvane_stream_broken_frames", "Frames broken",
     [](const StreamEntry& e, size_t) -> uint64_t { return e.figures.broken_frames; }},
    {"norvane_stream_retransmissions", "Retransmissions asked for",
     [](const StreamEntry& e, size_t) -> uint64_t { return e.figures.retransmissions; }},
    {"norvane_stream_duplicates", "Duplicate fragments received",
     [](const StreamEntry& e, size_t) -> uint64_t { return e.figures.duplicates; }},
    {"norvane_stream_bitrate", "Estimated bit rate of the stream",
     [](const StreamEntry& e, size_t) -> uint64_t { return e.figures.bitrate; }},
    {"norvane_stream_video_available", "1 while the gateway receives the stream's video",
     [](const StreamEntry& e, size_t) -> uint64_t { return e.figures.video_available ? 1 : 0; }},
    {"norvane_stream_viewers", "Viewer sessions of the stream",
     [](const StreamEntry&, size_t viewers) -> uint64_t { return viewers; }},
};

}  // namespace

std::string metrics_page(const StreamCatalogue& streams,
                         const std::map<StreamId, size_t>& stream_viewers,
                         const std::vector<GatewayFigures>& gateways, size_t viewer_connections) {
    MetricsText page;
    for (const Figure& figure : kStreamFigures) {
        page.family(figure.name, figure.help);
        for (const auto& [id, entry] : streams.entries()) {
            const auto viewers = stream_viewers.find(id);
            const std::string addr = format_manet_addr(id.manet_addr);
            const std::string camera = std::to_string(id.camera);
            page.sample(figure.name,
                        {{"gateway", id.gateway},
                         {"manet_addr", addr},
                         {"camera", camera},
                         {"name", entry.config.name}},
                        figure.value(entry, viewers == stream_viewers.end() ? 0 : viewers->second));
        }
    }
    page.family("norvane_gateway_connected", "1 while the gateway is connected");
    for (const GatewayFigures& gateway : gateways) {
        page.sample("norvane_gateway_connected", {{"gateway", gateway.name}},
                    gateway.connected ? 1 : 0);
    }
    page.family("norvane_gateway_viewers", "Viewer sessions open on the gateway");
    for (const GatewayFigures& gateway : gateways) {
        page.sample("norvane_gateway_viewers", {{"gateway", gateway.name}}, gateway.viewers);
    }
    page.family("norvane_viewer_connections", "Viewer WebSocket connections");
    page.sample("norvane_viewer_connections", {}, viewer_connections);
    return page.text();
}

}  // namespace kelvra::norvane::signal_server
