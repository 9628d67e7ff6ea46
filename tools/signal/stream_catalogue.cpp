#include "signal/stream_catalogue.hpp"

namespace kelvra::norvane::signal_server {

StreamFigures StreamFigures::from(const msgs::video::stream_state& state) {
    StreamFigures figures;
    figures.min_roundtrip = state.min_roundtrip;
    figures.max_roundtrip = state.max_roundtrip;
    figures.lost_frames = state.lost_frames;
    figures.delayed_frames = state.delayed_frames;
    figures.broken_frames = state.broken_frames;
    figures.retransmissions = state.retransmissions_number;
    figures.duplicates = state.duplicates_number;
    figures.bitrate = state.bitrate_est;
    figures.video_available = state.video_available != 0;
    return figures;
}

bool StreamCatalogue::add(StreamConfig config) {
    const StreamId id = config.id;
    return entries_.emplace(id, StreamEntry{std::move(config), {}}).second;
}

bool StreamCatalogue::remove(const StreamId& id) {
    return entries_.erase(id) != 0;
}

const StreamEntry* StreamCatalogue::find(const StreamId& id) const {
    const auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
}

bool StreamCatalogue::update(const StreamId& id, const StreamFigures& figures) {
    const auto it = entries_.find(id);
    if (it == entries_.end() || it->second.figures == figures) return false;
    it->second.figures = figures;
    return true;
}

bool StreamCatalogue::reset_gateway(const std::string& gateway) {
    bool changed = false;
    for (auto& [id, entry] : entries_) {
        if (id.gateway != gateway || entry.figures == StreamFigures{}) continue;
        entry.figures = {};
        changed = true;
    }
    return changed;
}

std::vector<const StreamEntry*> StreamCatalogue::of_gateway(const std::string& gateway) const {
    std::vector<const StreamEntry*> out;
    for (const auto& [id, entry] : entries_) {
        if (id.gateway == gateway) out.push_back(&entry);
    }
    return out;
}

}  // namespace kelvra::norvane::signal_server
