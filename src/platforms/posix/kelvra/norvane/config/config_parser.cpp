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

namespace kelvra::norvane {
namespace {

constexpr const char* kProgramName = "Ombrix";
constexpr const char* kProgramDescription = "Streams in realtime video from file via WebRTC";
constexpr const char* kDefaultConfigPath = "/opt/kelvra/norvane/norvane-config.json";

constexpr size_t kManetAddrDigits = 8;
constexpr size_t kManetKeyDigits = 32;
constexpr int64_t kMinLatencyMs = 1;
constexpr int64_t kMaxLatencyMs = 10'000;

using json = nlohmann::json;

[[noreturn]] void exit_with_help(const cxxopts::Options& options, int status) {
    std::cout << options.help() << std::endl;
    std::exit(status);
}

// Value of one hexadecimal digit, or -1 for any other character.
int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void check_length(const std::string& text, size_t expected, int error_id, const char* error) {
    if (text.size() == expected) return;
    spdlog::critical("{} != {}", text.size(), expected);
    throw json::type_error::create(error_id, error, nullptr);
}

uint32_t decode_manet_addr(const std::string& text) {
    uint32_t addr = 0;
    for (char c : text) {
        const int digit = hex_digit_value(c);
        if (digit < 0) throw json::type_error::create(1003, "Manet addr has wrong format", nullptr);
        addr = (addr << 4) | static_cast<uint32_t>(digit);
    }
    return addr;
}

// Addresses added to every session's ICE agent: each must be a literal IPv4 or IPv6 address,
// since the agent would otherwise ignore it without a word and no candidate would appear.
std::vector<std::string> read_ice_local_addresses(const json& value) {
    auto addresses = value.get<std::vector<std::string>>();
    for (const std::string& address : addresses) {
        in6_addr parsed{};
        if (inet_pton(AF_INET, address.c_str(), &parsed) != 1 &&
            inet_pton(AF_INET6, address.c_str(), &parsed) != 1) {
            throw json::type_error::create(
                1005, "ice_local_addresses holds something that is not an IP address: " + address,
                nullptr);
        }
    }
    return addresses;
}

// The wait for missing fragments: whole milliseconds, at least one and at most ten seconds (a
// frame waits no longer than its record is kept).
int64_t read_latency_ms(const json& value) {
    if (!value.is_number_integer()) {
        throw json::type_error::create(1006, "latency_ms is not a whole number of milliseconds",
                                       nullptr);
    }
    const auto ms = value.get<int64_t>();
    if (ms < kMinLatencyMs || ms > kMaxLatencyMs) {
        throw json::type_error::create(1006,
                                       "latency_ms is outside " + std::to_string(kMinLatencyMs) +
                                           ".." + std::to_string(kMaxLatencyMs) + ": " +
                                           std::to_string(ms),
                                       nullptr);
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
        throw json::type_error::create(
            1007, std::string(key) + " is not a whole number in range: " + value.dump(), nullptr);
    }
    return value.is_number_float() ? static_cast<Int>(value.get<double>()) : value.get<Int>();
}

void decode_manet_key(const std::string& text, uint8_t (&key)[16]) {
    std::fill(std::begin(key), std::end(key), uint8_t{0});
    for (size_t i = 0; i < text.size(); ++i) {
        const int digit = hex_digit_value(text[i]);
        if (digit < 0) throw json::type_error::create(1004, "Manet key has wrong format", nullptr);
        uint8_t& byte = key[i / 2];
        byte = static_cast<uint8_t>((byte << 4) | digit);
    }
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

    check_length(manet_addr, kManetAddrDigits, 1001, "Manet addr has wrong len");
    check_length(manet_key, kManetKeyDigits, 1002, "Manet key has wrong len");
    loaded.manet.addr = decode_manet_addr(manet_addr);
    decode_manet_key(manet_key, loaded.manet.key);

    *this = loaded;
}

}  // namespace kelvra::norvane
