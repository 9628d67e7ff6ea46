#include "kelvra/norvane/config/config_parser.hpp"

#include <arpa/inet.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cxxopts.hpp>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <nlohmann/json.hpp>

#include "kelvra/core/hex.hpp"
#include "kelvra/norvane/config/config_error.hpp"

namespace kelvra::norvane {
namespace {

constexpr const char* kProgramName = "Ombrix";
constexpr const char* kProgramDescription = "Streams in realtime video from file via WebRTC";
constexpr const char* kDefaultConfigPath = "/opt/kelvra/norvane/norvane-config.json";

constexpr size_t kManetAddrDigits = 8;
constexpr size_t kManetKeyDigits = 32;
constexpr int64_t kMinLatencyMs = 1;
constexpr int64_t kMaxLatencyMs = 10'000;
constexpr uint64_t kMinIncompleteBytes = 1ull << 20;
constexpr uint64_t kMaxIncompleteBytes = 1ull << 40;
// A new viewer is written its stream's whole catch-up run at once, into a pipe of 10 MiB that
// its child may not be reading yet: the run must fit, with room for the live frames after it.
constexpr uint64_t kMaxCatchupBytes = 9ull << 20;
constexpr uint64_t kMaxCatchupFrames = 10'000;

using json = nlohmann::json;

[[noreturn]] void exit_with_help(const cxxopts::Options& options, int status) {
    std::cout << options.help() << std::endl;
    std::exit(status);
}

void check_length(const std::string& text, size_t expected, int error_id, const char* error) {
    if (text.size() == expected) return;
    spdlog::critical("{} != {}", text.size(), expected);
    throw ConfigError(error_id, error);
}

uint32_t decode_manet_addr(const std::string& text) {
    const std::optional<uint32_t> addr = parse_hex_u32(text);
    if (!addr) throw ConfigError(1003, "Manet addr has wrong format");
    return *addr;
}

// Addresses added to every session's ICE agent: each must be a literal IPv4 or IPv6 address,
// since the agent would otherwise ignore it without a word and no candidate would appear.
std::vector<std::string> read_ice_local_addresses(const json& value) {
    auto addresses = value.get<std::vector<std::string>>();
    for (const std::string& address : addresses) {
        in6_addr parsed{};
        if (inet_pton(AF_INET, address.c_str(), &parsed) != 1 &&
            inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
            throw ConfigError(
                1005, "ice_local_addresses holds something that is not an IP address: " + address);
        }
    }
    return addresses;
}

// A byte count given as a plain positive integer. The kernel keeps socket buffer sizes in an
// int and doubles them, so anything past the upper bound is a mistake, not a wish.
uint64_t read_receive_buffer_bytes(const json& value) {
    if (!value.is_number_integer() || value.get<int64_t>() <= 0 ||
        value.get<uint64_t>() > ConfigParser::kMaxReceiveBufferBytes) {
        throw ConfigError(1008, "receive_buffer_bytes must be a whole number of bytes from 1 to " +
                                    std::to_string(ConfigParser::kMaxReceiveBufferBytes) + ": " +
                                    value.dump());
    }
    return value.get<uint64_t>();
}

// The wait for missing fragments: whole milliseconds, at least one and at most ten seconds (a
// frame waits no longer than its record is kept).
int64_t read_latency_ms(const json& value) {
    if (!value.is_number_integer()) {
        throw ConfigError(1006, "latency_ms is not a whole number of milliseconds");
    }
    const auto ms = value.get<int64_t>();
    if (ms < kMinLatencyMs || ms > kMaxLatencyMs) {
        throw ConfigError(1006, "latency_ms is outside " + std::to_string(kMinLatencyMs) + ".." +
                                    std::to_string(kMaxLatencyMs) + ": " + std::to_string(ms));
    }
    return ms;
}

// A number read into an integer field must be whole and fit it: a port of 70000 or -1 would
// otherwise become another port without a word, and a float beyond the field's range has no
// defined conversion at all. Values of other JSON types convert (or throw) as the library does.
template <typename Int>
Int read_whole_number(const json& root, const char* key) {
    const json& value = root.at(key);
    constexpr auto lowest = std::numeric_limits<Int>::min();
    constexpr auto highest = std::numeric_limits<Int>::max();
    bool fits = false;
    if (value.is_number_unsigned()) {
        fits = value.get<uint64_t>() <= static_cast<uint64_t>(highest);
    } else if (value.is_number_integer()) {
        const auto v = value.get<int64_t>();
        fits = v >= static_cast<int64_t>(lowest) && v <= static_cast<int64_t>(highest);
    } else if (value.is_number_float()) {
        const auto v = value.get<double>();
        fits = std::floor(v) == v && v >= static_cast<double>(lowest) &&
               v <= static_cast<double>(highest);
    } else {
        return value.get<Int>();
    }
    if (!fits) {
        throw ConfigError(1009,
                          std::string(key) + " is not a whole number in range: " + value.dump());
    }
    return value.is_number_float() ? static_cast<Int>(value.get<double>()) : value.get<Int>();
}

// At least a megabyte, so that a stream can hold any frame of a few hundred fragments.
uint64_t read_max_incomplete_bytes(const json& value) {
    if (!value.is_number_unsigned() || value.get<uint64_t>() < kMinIncompleteBytes ||
        value.get<uint64_t>() > kMaxIncompleteBytes) {
        throw ConfigError(1007, "max_incomplete_bytes is not a whole number of bytes in " +
                                    std::to_string(kMinIncompleteBytes) + ".." +
                                    std::to_string(kMaxIncompleteBytes) + ": " + value.dump());
    }
    return value.get<uint64_t>();
}

uint64_t read_catchup_bound(const json& value, const char* key, uint64_t max) {
    if (!value.is_number_unsigned() || value.get<uint64_t>() > max) {
        throw ConfigError(1010, std::string(key) + " is not a whole number in 0.." +
                                    std::to_string(max) + ": " + value.dump());
    }
    return value.get<uint64_t>();
}

uint64_t read_record_segment_s(const json& value) {
    if (!value.is_number_unsigned() || value.get<uint64_t>() < 1 ||
        value.get<uint64_t>() > ConfigParser::kMaxRecordSegmentS) {
        throw ConfigError(1011, "record_segment_s is not a whole number of seconds in 1.." +
                                    std::to_string(ConfigParser::kMaxRecordSegmentS) + ": " +
                                    value.dump());
    }
    return value.get<uint64_t>();
}

uint64_t read_record_keep_bytes(const json& value) {
    if (!value.is_number_unsigned()) {
        throw ConfigError(1012,
                          "record_keep_bytes is not a whole number of bytes: " + value.dump());
    }
    return value.get<uint64_t>();
}

void decode_manet_key(const std::string& text, uint8_t (&key)[16]) {
    if (!parse_hex_bytes(text, key)) throw ConfigError(1004, "Manet key has wrong format");
}

}  // namespace

ConfigParser ConfigParser::create_from_args(int argc, char** argv) {
    cxxopts::Options options(kProgramName, kProgramDescription);
    options.add_options()  //
        ("c,config", "Config file",
         cxxopts::value<std::string>()->default_value(kDefaultConfigPath))  //
        ("h,help", "Print usage");

    std::string config_path;
    try {
        const cxxopts::ParseResult args = options.parse(argc, argv);
        if (args.count("help") > 0) exit_with_help(options, 0);
        config_path = args["config"].as<std::string>();
    } catch (const cxxopts::exceptions::exception& e) {
        // Every command-line mistake (an unknown option, `-c` without a path, a value given to
        // `--help`) ends the same way: the parser's reason, then the usage.
        spdlog::critical("{}", e.what());
        exit_with_help(options, 1);
    }

    ConfigParser config;
    config.open(config_path);
    return config;
}

void ConfigParser::open(const std::string& path) {
    std::ifstream file(path);
    if (!file.is_open()) {
        spdlog::critical("ERROR: open config file: {}", path);
        std::exit(1);
    }
    const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    try {
        parse_config(text);
    } catch (const std::exception& e) {
        spdlog::critical("parse config file: {}", e.what());
        std::exit(1);
    }
}

void ConfigParser::parse_config(const std::string& text) {
    const json root =
        json::parse(text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/false);

    // Loaded into a copy so that a rejected file leaves this record untouched.
    ConfigParser loaded = *this;
    loaded.listen_ip = root.at("listen_ip").get<std::string>();
    loaded.listen_port = read_whole_number<uint16_t>(root, "listen_port");
    loaded.utm_host = root.at("utm_host").get<std::string>();
    loaded.utm_port = read_whole_number<uint16_t>(root, "utm_port");
    loaded.stun_url = root.at("stun_url").get<std::string>();
    loaded.turn_url = root.at("turn_url").get<std::string>();
    loaded.log_statistics = root.at("log_statistics").get<bool>();
    loaded.log_level = read_whole_number<int32_t>(root, "log_level");
    loaded.save_dir = root.at("save_dir").get<std::string>();
    loaded.show_local_video = root.at("show_local_video").get<bool>();
    const auto manet_addr = root.at("manet_addr").get<std::string>();
    const auto manet_key = root.at("manet_key").get<std::string>();
    if (root.contains("save_statistics_to_file")) {
        loaded.save_statistics_to_file = root.at("save_statistics_to_file").get<bool>();
    }
    if (root.contains("ice_local_addresses")) {
        loaded.ice_local_addresses = read_ice_local_addresses(root.at("ice_local_addresses"));
    }
    if (root.contains("latency_ms")) loaded.latency_ms = read_latency_ms(root.at("latency_ms"));
    if (root.contains("signalling_encryption_required")) {
        loaded.signalling_encryption_required =
            root.at("signalling_encryption_required").get<bool>();
    }
    if (root.contains("max_incomplete_bytes")) {
        loaded.max_incomplete_bytes = read_max_incomplete_bytes(root.at("max_incomplete_bytes"));
    }
    if (root.contains("catchup_max_bytes")) {
        loaded.catchup_max_bytes =
            read_catchup_bound(root.at("catchup_max_bytes"), "catchup_max_bytes", kMaxCatchupBytes);
    }
    if (root.contains("catchup_max_frames")) {
        loaded.catchup_max_frames = read_catchup_bound(root.at("catchup_max_frames"),
                                                       "catchup_max_frames", kMaxCatchupFrames);
    }
    if (root.contains("receive_buffer_bytes")) {
        loaded.receive_buffer_bytes = read_receive_buffer_bytes(root.at("receive_buffer_bytes"));
    }

    if (root.contains("record")) loaded.record = root.at("record").get<bool>();
    if (root.contains("record_segment_s")) {
        loaded.record_segment_s = read_record_segment_s(root.at("record_segment_s"));
    }
    if (root.contains("record_keep_bytes")) {
        loaded.record_keep_bytes = read_record_keep_bytes(root.at("record_keep_bytes"));
    }

    check_length(manet_addr, kManetAddrDigits, 1001, "Manet addr has wrong len");
    check_length(manet_key, kManetKeyDigits, 1002, "Manet key has wrong len");
    loaded.manet.addr = decode_manet_addr(manet_addr);
    decode_manet_key(manet_key, loaded.manet.key);

    *this = loaded;
}

}  // namespace kelvra::norvane
