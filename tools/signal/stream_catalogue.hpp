#pragma once

#include <map>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"
#include "signal/server_config.hpp"

namespace kelvra::norvane::signal_server {

// The latest figures a gateway reported for a stream; all zero until the first report.
struct StreamFigures {
    uint32_t min_roundtrip = 0;
    uint32_t max_roundtrip = 0;
    uint32_t lost_frames = 0;
    uint32_t delayed_frames = 0;
    uint32_t broken_frames = 0;
    uint32_t retransmissions = 0;
    uint32_t duplicates = 0;
    uint32_t bitrate = 0;
    bool video_available = false;

    static StreamFigures from(const msgs::video::stream_state& state);
    bool operator==(const StreamFigures&) const = default;
};

struct StreamEntry {
    StreamConfig config;
    StreamFigures figures;
};

// The streams the server announces, with what their gateways last reported about them.
class StreamCatalogue {
public:
    // False when a stream with the same id is listed already.
    bool add(StreamConfig config);
    bool remove(const StreamId& id);
    const StreamEntry* find(const StreamId& id) const;
    // Records a report; true when it changed any figure.
    bool update(const StreamId& id, const StreamFigures& figures);
    // Forgets the figures of a gateway's streams (it has gone); true when any changed.
    bool reset_gateway(const std::string& gateway);
    std::vector<const StreamEntry*> of_gateway(const std::string& gateway) const;
    const std::map<StreamId, StreamEntry>& entries() const { return entries_; }

private:
    std::map<StreamId, StreamEntry> entries_;
};

}  // namespace kelvra::norvane::signal_server
