#include "signal/session_table.hpp"

namespace kelvra::norvane::signal_server {

const Session& SessionTable::create(ViewerId viewer, const StreamId& stream) {
    // 0 is never handed out, and after a wrap-around an id still in use is skipped.
    do {
        ++last_consumer_;
    } while (last_consumer_ == 0 || sessions_.contains(last_consumer_));
    const uint32_t consumer = last_consumer_;
    return sessions_.emplace(consumer, Session{consumer, viewer, stream, false}).first->second;
}

Session* SessionTable::find(uint32_t consumer) {
    const auto it = sessions_.find(consumer);
    return it == sessions_.end() ? nullptr : &it->second;
}

const Session* SessionTable::find(ViewerId viewer, const StreamId& stream) const {
    for (const auto& [consumer, session] : sessions_) {
        if (session.viewer == viewer && session.stream == stream) return &session;
    }
    return nullptr;
}

template <typename Predicate>
std::vector<Session> SessionTable::select(Predicate predicate) const {
    std::vector<Session> out;
    for (const auto& [consumer, session] : sessions_) {
        if (predicate(session)) out.push_back(session);
    }
    return out;
}

std::vector<Session> SessionTable::of_viewer(ViewerId viewer) const {
    return select([&](const Session& s) { return s.viewer == viewer; });
}

std::vector<Session> SessionTable::of_gateway(const std::string& gateway) const {
    return select([&](const Session& s) { return s.stream.gateway == gateway; });
}

std::vector<Session> SessionTable::of_stream(const StreamId& stream) const {
    return select([&](const Session& s) { return s.stream == stream; });
}

}  // namespace kelvra::norvane::signal_server
