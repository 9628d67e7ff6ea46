#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "signal/hex.hpp"
#include "signal/stream_id.hpp"

namespace kelvra::norvane::signal_server {

// A configuration (or API request) that cannot be used; the text names the offending key.
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A gateway is known only by the port it connects to: it sends no identity of its own, and
// proves it only by opening a record sealed with its key.
struct GatewayConfig {
    std::string name;
    std::string listen_address = "127.0.0.1";
    uint16_t listen_port = 0;
    uint32_t manet_addr = 0;
    Key manet_key{};
    // IP addresses a connection may come from; empty: any.
    std::vector<std::string> allowed_sources;
};

struct StreamConfig {
    StreamId id;
    Key key{};
    std::string name;
};

// A STUN or TURN server as the viewer page hands it to its peer connections, in the browsers'
// form: "stun:host:port", "turn:host:port?transport=udp"; a TURN server with its credentials.
struct IceServer {
    std::vector<std::string> urls;
    std::string username;
    std::string credential;
};

// What one client, or all of them, may hold at once. Every bound is a key of "limits".
struct Limits {
    uint32_t sessions_per_connection = 8;
    uint32_t sessions_per_account = 16;
    // Opens an account may ask for between two ticks of the hub: every open forks a process
    // on the gateway, so closing and opening again in a loop must not be free.
    uint32_t session_opens_per_second = 8;
    uint32_t sessions_per_stream = 32;
    uint32_t sessions_total = 256;
    uint32_t websocket_connections = 64;
    uint32_t websocket_connections_per_account = 16;
    uint32_t websocket_message_bytes = 256 * 1024;
    uint32_t websocket_queue_bytes = 1024 * 1024;
    uint32_t http_connections = 128;
    uint32_t http_request_seconds = 10;
    uint32_t http_max_ranges = 4;
    uint32_t gateway_proof_seconds = 5;
};

struct ServerConfig {
    std::string http_address = "127.0.0.1";
    uint16_t http_port = 0;
    std::filesystem::path web_root;
    std::vector<GatewayConfig> gateways;
    std::vector<StreamConfig> streams;
    // Accounts and the stored streams live in a database in this directory.
    std::filesystem::path state_dir = "/var/lib/norvane-signal";
    // HTTPS and WSS when both are set (PEM files).
    std::filesystem::path tls_cert;
    std::filesystem::path tls_key;
    // Plain HTTP on an address other than loopback sends passwords in the clear; refused
    // unless this is set.
    bool allow_insecure_http = false;
    std::vector<IceServer> ice_servers;
    // Names the server may be reached by (Host header, WebSocket Origin); never empty after
    // parsing: "127.0.0.1", "localhost" and the HTTP address when none are configured.
    std::vector<std::string> public_hosts;
    Limits limits;
};

// True for 127.0.0.0/8 and ::1.
bool is_loopback_address(const std::string& address);

// Every check is strict: unknown keys, wrong types, out-of-range numbers and duplicates are
// refused with a ConfigError, so that a typing error never silently becomes a default.
ServerConfig parse_server_config(const nlohmann::json& json);
ServerConfig load_server_config(const std::filesystem::path& path);
// One stream as the configuration and POST /api/streams write it; `where` prefixes the key
// named in errors. Whether its gateway exists is for the caller to check.
StreamConfig parse_stream_config(const nlohmann::json& json, const std::string& where);

}  // namespace kelvra::norvane::signal_server
