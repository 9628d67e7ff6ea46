#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kelvra/manet/manet_config.hpp"

namespace kelvra::norvane {

// The gateway's configuration record and its loader.
struct ConfigParser {
    std::string listen_ip = "0.0.0.0";
    uint16_t listen_port = 30000;
    std::string utm_host = "signalling.local";
    uint16_t utm_port = 5466;
    std::string stun_url = "stun.local:3478";
    std::string turn_url = "norvane:norvane@turn.local:3478";
    bool log_statistics = false;
    int32_t log_level = 5;
    std::string save_dir = "./";
    manet::ManetConfig manet;
    bool show_local_video = false;
    bool save_statistics_to_file = false;
    // Optional: addresses every session's ICE agent offers besides those it finds itself
    // (libnice never offers loopback addresses on its own).
    std::vector<std::string> ice_local_addresses;
    // Optional: the most time a frame may wait for missing fragments, in milliseconds. Set, it
    // chooses the latency-budget rules of the jitter buffers.
    std::optional<int64_t> latency_ms;
    // Optional: the bytes each stream may hold for frames not yet complete; past it the oldest
    // of them are given up.
    uint64_t max_incomplete_bytes = 64ull << 20;
    // Optional: bounds of the frames since the latest keyframe each stream keeps, so that a
    // viewer who joins between keyframes sees a picture at once; 0 turns that off.
    uint64_t catchup_max_bytes = 8ull << 20;
    uint64_t catchup_max_frames = 300;
    // Optional: refuse signalling records that are not sealed with manet_key.
    bool signalling_encryption_required = false;
    // Optional: the size asked of the kernel for the video socket's receive buffer. Bursts of
    // many streams overflow the system default long before the gateway runs out of CPU.
    static constexpr uint64_t kDefaultReceiveBufferBytes = 8'388'608;
    static constexpr uint64_t kMaxReceiveBufferBytes = 536'870'912;
    uint64_t receive_buffer_bytes = kDefaultReceiveBufferBytes;
    // Optional: record every stream's released frames into its flight directory, in segments
    // of record_segment_s seconds, deleting the oldest once all of them pass record_keep_bytes
    // (0: no bound).
    static constexpr uint64_t kMaxRecordSegmentS = 3600;
    bool record = false;
    uint64_t record_segment_s = 300;
    uint64_t record_keep_bytes = 0;

    // Parses the command line and loads the named file; on help or any error it ends the
    // process with the documented message and status.
    static ConfigParser create_from_args(int argc, char** argv);
    // Reads the file at `path` into this record; ends the process on failure.
    void open(const std::string& path);
    // Fills this record from JSON text. Malformed JSON, a missing key or a value of the wrong
    // type throws the JSON library's exception; a value the gateway refuses throws ConfigError.
    void parse_config(const std::string& text);
};

}  // namespace kelvra::norvane
