#include "kelvra/norvane/config/config_parser.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "kelvra/norvane/config/config_error.hpp"

namespace kelvra::norvane {
namespace {

using json = nlohmann::json;

json valid_config() {
    return json{{"listen_ip", "127.0.0.1"},       {"listen_port", 31000},
                {"utm_host", "signalling.test"},  {"utm_port", 6000},
                {"stun_url", "stun.test:3478"},   {"turn_url", "u:p@turn.test:3478"},
                {"log_statistics", true},         {"log_level", 2},
                {"save_dir", "/tmp/flights"},     {"show_local_video", true},
                {"manet_addr", "0A0B0C0D"},       {"manet_key", "000102030405060708090a0b0c0d0e0f"},
                {"save_statistics_to_file", true}};
}

ConfigParser parsed(const json& config) {
    ConfigParser record;
    record.parse_config(config.dump());
    return record;
}

TEST(ConfigParser, DecodesAddressAndKeyBytesInEitherCase) {
    ConfigParser record = parsed(valid_config());
    EXPECT_EQ(record.listen_port, 31000);
    EXPECT_TRUE(record.save_statistics_to_file);
    EXPECT_EQ(record.manet.addr, 0x0A0B0C0Du);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(record.manet.key[i], i) << "key byte " << i;

    json config = valid_config();
    config["manet_addr"] = "deadBEEF";
    config["manet_key"] = "F0e1D2c3B4a5968778695A4b3C2d1E0f";
    record = parsed(config);
    EXPECT_EQ(record.manet.addr, 0xDEADBEEFu);
    const uint8_t expected[16] = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87,
                                  0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(record.manet.key[i], expected[i]) << "key byte " << i;
}

TEST(ConfigParser, OptionalUnknownAndOutOfRangeValuesAreAccepted) {
    json config = valid_config();
    config.erase("save_statistics_to_file");
    config["not_a_setting"] = {1, 2, 3};
    for (const int level : {42, -3}) {
        config["log_level"] = level;
        const ConfigParser record = parsed(config);
        EXPECT_FALSE(record.save_statistics_to_file);
        EXPECT_EQ(record.log_level, level);
    }
}

// Digits a lenient number reader would take: whitespace, sign, "0x" prefix.
TEST(ConfigParser, OnlyPlainHexDigitsAreAccepted) {
    for (const char* addr : {" A0B0C0D", "+A0B0C0D", "0x0B0C0D", "0A0B0C0G"}) {
        json config = valid_config();
        config["manet_addr"] = addr;
        ConfigParser record;
        EXPECT_THROW(record.parse_config(config.dump()), ConfigError) << addr;
    }
    for (const char* key : {" 00102030405060708090a0b0c0d0e0f", "000102030405060708090a0b0c0d0e0x",
                            "0x0102030405060708090a0b0c0d0e0f"}) {
        json config = valid_config();
        config["manet_key"] = key;
        ConfigParser record;
        EXPECT_THROW(record.parse_config(config.dump()), ConfigError) << key;
    }
}

TEST(ConfigParser, IceLocalAddressesAreOptionalLiteralAddresses) {
    EXPECT_TRUE(parsed(valid_config()).ice_local_addresses.empty());
    json config = valid_config();
    config["ice_local_addresses"] = {"127.0.0.1", "::1", "10.1.2.3"};
    EXPECT_EQ(parsed(config).ice_local_addresses,
              (std::vector<std::string>{"127.0.0.1", "::1", "10.1.2.3"}));
    config["ice_local_addresses"] = json::array();
    EXPECT_TRUE(parsed(config).ice_local_addresses.empty());

    for (const json& wrong : {json("127.0.0.1"), json{1, 2}, json{"localhost"}, json{"1.2.3"}}) {
        config["ice_local_addresses"] = wrong;
        ConfigParser record;
        EXPECT_THROW(record.parse_config(config.dump()), std::exception) << wrong.dump();
    }
}

TEST(ConfigParser, LatencyIsOptionalWholeMillisecondsUpToTenSeconds) {
    EXPECT_FALSE(parsed(valid_config()).latency_ms);
    json config = valid_config();
    for (const int64_t ms : {1, 400, 10'000}) {
        config["latency_ms"] = ms;
        EXPECT_EQ(parsed(config).latency_ms, ms);
    }
    for (const json& wrong : {json(0), json(-5), json(10'001), json(250.5), json("400")}) {
        config["latency_ms"] = wrong;
        ConfigParser record;
        EXPECT_THROW(record.parse_config(config.dump()), std::exception) << wrong.dump();
    }
}

TEST(ConfigParser, IncompleteFrameLimitIsOptionalBytesFromOneMegabyte) {
    EXPECT_EQ(parsed(valid_config()).max_incomplete_bytes, 64ull << 20);
    json config = valid_config();
    config["max_incomplete_bytes"] = 1 << 20;
    EXPECT_EQ(parsed(config).max_incomplete_bytes, 1u << 20);
    EXPECT_FALSE(parsed(config).signalling_encryption_required);
    config["signalling_encryption_required"] = true;
    EXPECT_TRUE(parsed(config).signalling_encryption_required);
    for (const json& wrong : {json((1 << 20) - 1), json(-1), json(1e12), json("64M")}) {
        config["max_incomplete_bytes"] = wrong;
        ConfigParser record;
        EXPECT_THROW(record.parse_config(config.dump()), std::exception) << wrong.dump();
    }
}

TEST(ConfigParser, ReceiveBufferBytesIsAnOptionalBoundedPositiveInteger) {
    EXPECT_EQ(parsed(valid_config()).receive_buffer_bytes, 8'388'608u);
    json config = valid_config();
    for (const uint64_t valid : {uint64_t{1}, uint64_t{212'992}, uint64_t{536'870'912}}) {
        config["receive_buffer_bytes"] = valid;
        EXPECT_EQ(parsed(config).receive_buffer_bytes, valid);
    }
    for (const json& wrong : {json(0), json(-1), json(536'870'913), json(1.5), json("8388608"),
                              json(18'446'744'073'709'551'615u), json(nullptr)}) {
        config["receive_buffer_bytes"] = wrong;
        ConfigParser record;
        EXPECT_THROW(record.parse_config(config.dump()), std::exception) << wrong.dump();
    }
}

// Ports and the log level are whole numbers that fit their field (found by fuzzing: a port of
// 3e42 was an undefined conversion, and 70000 or -1 silently named another port).
TEST(ConfigParser, IntegerFieldsTakeOnlyWholeNumbersInRange) {
    json config = valid_config();
    for (const char* port : {"listen_port", "utm_port"}) {
        for (const json& good : {json(0), json(65535), json(30000.0)}) {
            config[port] = good;
            EXPECT_NO_THROW(parsed(config)) << port << " " << good.dump();
        }
        for (const json& wrong : {json(65536), json(-1), json(3e42), json(80.5), json("80")}) {
            config[port] = wrong;
            ConfigParser record;
            EXPECT_THROW(record.parse_config(config.dump()), std::exception)
                << port << " " << wrong.dump();
        }
        config = valid_config();
    }
    for (const json& wrong : {json(int64_t{1} << 31), json(-1e300), json(2.5)}) {
        config["log_level"] = wrong;
        ConfigParser record;
        EXPECT_THROW(record.parse_config(config.dump()), std::exception) << wrong.dump();
    }
}

TEST(ConfigParser, RejectedTextLeavesTheRecordUnchanged) {
    ConfigParser record = parsed(valid_config());
    json config = valid_config();
    config["listen_ip"] = "10.0.0.1";
    config["manet_key"] = "not a key";
    EXPECT_THROW(record.parse_config(config.dump()), ConfigError);
    EXPECT_EQ(record.listen_ip, "127.0.0.1");
    EXPECT_EQ(record.manet.key[15], 0x0f);
}

}  // namespace
}  // namespace kelvra::norvane
