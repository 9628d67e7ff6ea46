// The hub's side of the HTTP API: the stream list, stream changes and the metrics page.

#include <spdlog/spdlog.h>

#include "kelvra/msgs/video/messages.hpp"
#include "signal/hub_encoding.hpp"
#include "signal/metrics_page.hpp"
#include "signal/signal_hub.hpp"

namespace kelvra::norvane::signal_server {

using nlohmann::json;
namespace video = msgs::video;

json SignalHub::stream_json(const StreamEntry& entry) const {
    const StreamId& id = entry.config.id;
    const StreamFigures& f = entry.figures;
    return {{"id", id.text()},
            {"gateway", id.gateway},
            {"manet_addr", format_manet_addr(id.manet_addr)},
            {"camera", id.camera},
            {"name", entry.config.name},
            {"connected", gateway_is_connected(id.gateway)},
            {"video_available", f.video_available},
            {"min_roundtrip", f.min_roundtrip},
            {"max_roundtrip", f.max_roundtrip},
            {"lost_frames", f.lost_frames},
            {"delayed_frames", f.delayed_frames},
            {"broken_frames", f.broken_frames},
            {"retransmissions", f.retransmissions},
            {"duplicates", f.duplicates},
            {"bitrate", f.bitrate}};
}

json SignalHub::streams_json(const std::function<bool(const StreamId&)>& visible) const {
    json list = json::array();
    for (const auto& [id, entry] : catalogue_.entries()) {
        if (!visible || visible(id)) list.push_back(stream_json(entry));
    }
    return list;
}

void SignalHub::send_stream_list(ViewerId viewer) {
    if (!access_) {
        send(viewer, {{"type", "streams"}, {"streams", streams_json()}});
        return;
    }
    send(viewer,
         {{"type", "streams"},
          {"streams", streams_json([&](const StreamId& id) { return access_(viewer, id); })}});
}

void SignalHub::tick() {
    opens_this_second_.clear();
    if (!list_changed_) return;
    list_changed_ = false;
    // Viewers who may see the same streams share one text, built once: many viewers use one
    // account, and the list changes with every report from a gateway.
    std::map<std::vector<bool>, std::string> texts;
    for (const auto& [viewer, peer] : viewers_) {
        std::vector<bool> visible;
        for (const auto& [id, entry] : catalogue_.entries()) {
            visible.push_back(!access_ || access_(viewer, id));
        }
        auto [text, fresh] = texts.try_emplace(std::move(visible));
        if (fresh) {
            json list = json::array();
            size_t i = 0;
            for (const auto& [id, entry] : catalogue_.entries()) {
                if (text->first[i++]) list.push_back(stream_json(entry));
            }
            text->second = to_text({{"type", "streams"}, {"streams", std::move(list)}});
        }
        viewers_sink_.send_text(viewer, text->second);
    }
}

ApiResult SignalHub::add_stream(std::string_view body, std::string_view from) {
    const json request = json::parse(body, nullptr, false);
    if (request.is_discarded()) return {400, {{"error", "body is not JSON"}}};
    StreamConfig stream;
    try {
        stream = parse_stream_config(request, "");
    } catch (const ConfigError& error) {
        return {400, {{"error", error.what()}}};
    }
    if (!gateway_connected_.contains(stream.id.gateway)) {
        return {400, {{"error", "gateway: no such gateway"}}};
    }
    if (!catalogue_.add(stream)) return {409, {{"error", "stream exists already"}}};
    if (gateway_is_connected(stream.id.gateway)) announce(stream, true);
    list_changed_ = true;
    // The audit line is the HTTP front's, written once the stream is stored.
    spdlog::info("Stream {} added at the request of {}", stream.id.text(), from);
    return {201, stream_json(*catalogue_.find(stream.id))};
}

ApiResult SignalHub::remove_stream(std::string_view gateway, std::string_view manet_addr,
                                   std::string_view camera, std::string_view from) {
    const auto addr = parse_manet_addr(manet_addr);
    const auto camera_number = parse_decimal(camera, 255);
    if (!addr || !camera_number) return {400, {{"error", "bad stream address"}}};
    const StreamId id{std::string(gateway), *addr, static_cast<uint8_t>(*camera_number)};
    const StreamEntry* entry = catalogue_.find(id);
    if (entry == nullptr) return {404, {{"error", "no such stream"}}};
    for (const Session& session : sessions_.of_stream(id)) {
        send(session.viewer,
             {{"type", "closed"}, {"stream", id.text()}, {"reason", "stream removed"}});
        terminate(session, "stream_removed");
    }
    if (gateway_is_connected(id.gateway)) announce(entry->config, false);
    catalogue_.remove(id);
    list_changed_ = true;
    spdlog::info("Stream {} removed at the request of {}", id.text(), from);
    return {200, {{"removed", id.text()}}};
}

std::string SignalHub::metrics() const {
    std::map<std::string, size_t> gateway_viewers;
    std::map<StreamId, size_t> stream_viewers;
    for (const auto& [consumer, session] : sessions_.all()) {
        ++gateway_viewers[session.stream.gateway];
        ++stream_viewers[session.stream];
    }
    std::vector<GatewayFigures> gateways;
    for (const auto& [name, connected] : gateway_connected_) {
        gateways.push_back({name, connected, gateway_viewers[name]});
    }
    return metrics_page(catalogue_, stream_viewers, gateways, viewers_.size());
}

}  // namespace kelvra::norvane::signal_server
