#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "kelvra/core/unique_fd.hpp"
#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/norvane/gateway/catchup_cache.hpp"
#include "kelvra/norvane/gateway/format_gate.hpp"
#include "kelvra/norvane/gateway/session_pipe.hpp"
#include "kelvra/norvane/gateway/stream_recorder.hpp"
#include "kelvra/norvane/ingest/stream_key.hpp"
#include "kelvra/norvane/jitter/jitter_buffer.hpp"

namespace spdlog {
class logger;
}

namespace kelvra::norvane {

// Reception state of a stream.
struct Sink {
    explicit Sink(JitterBuffer buffer) : jitter_buffer(std::move(buffer)) {}

    JitterBuffer jitter_buffer;
    sockaddr_in sender_address{};  // source of the latest accepted datagram
    std::shared_ptr<spdlog::logger> stats_logger;
};

// One viewer session: its child process and the two pipes to and from it.
struct WebrtcSession {
    // The largest frame a child writes (its offer, wrapped in a session_msg).
    static constexpr size_t kReadBufferSize = 16384;  // bytes

    uint64_t consumer_id = 0;
    int32_t pid = 0;
    std::vector<uint8_t> buffer;  // bytes read from the child, capacity reserved once
    // Bytes still to skip of a frame too long for `buffer`, which could never complete there.
    size_t discard = 0;
    UniqueFd to_child_read;
    SessionPipeWriter to_child_write;
    UniqueFd from_child_read;
    UniqueFd from_child_write;
};

// One camera of one sender, announced by the signalling server.
struct Stream {
    Stream(uint32_t manet, uint8_t camera, JitterBuffer buffer)
        : manet_addr(manet), camera_type(camera), sink(std::move(buffer)) {}

    uint32_t manet_addr = 0;
    uint8_t camera_type = 0;
    int32_t flight_id = -1;
    Sink sink;
    std::vector<WebrtcSession> sessions;
    int64_t last_data_time = 0;
    int64_t last_state_time = 0;
    uint32_t bitrate = 0;
    uint8_t video_format = 0;  // of the latest datagram
    manet::AesGcm cipher;
    // The format the viewers' sessions are sent, and the frames a new viewer starts with.
    FormatGate format_gate;
    CatchupCache catchup;
    StreamRecorder recorder;
};

using StreamMap = std::map<uint64_t, Stream>;

// The session whose from-child pipe a poll entry watches.
struct SessionPollContext {
    StreamMap::iterator stream;
    size_t session_index = 0;
};

}  // namespace kelvra::norvane
