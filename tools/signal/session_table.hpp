#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "signal/stream_id.hpp"

namespace kelvra::norvane::signal_server {

using ViewerId = uint64_t;

// One viewer watching one stream. The consumer id names it to the gateway.
struct Session {
    uint32_t consumer = 0;
    ViewerId viewer = 0;
    StreamId stream;
    bool opened = false;  // the gateway has accepted the request
};

class SessionTable {
public:
    // A new session with a consumer id no other session of this server has had.
    const Session& create(ViewerId viewer, const StreamId& stream);
    Session* find(uint32_t consumer);
    const Session* find(ViewerId viewer, const StreamId& stream) const;
    void erase(uint32_t consumer) { sessions_.erase(consumer); }

    std::vector<Session> of_viewer(ViewerId viewer) const;
    std::vector<Session> of_gateway(const std::string& gateway) const;
    std::vector<Session> of_stream(const StreamId& stream) const;
    const std::map<uint32_t, Session>& all() const { return sessions_; }

private:
    template <typename Predicate>
    std::vector<Session> select(Predicate predicate) const;

    std::map<uint32_t, Session> sessions_;
    uint32_t last_consumer_ = 0;
};

}  // namespace kelvra::norvane::signal_server
