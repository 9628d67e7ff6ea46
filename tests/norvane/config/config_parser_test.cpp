#include "kelvra/norvane/config/config_parser.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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

// Unknown keys and any log level are taken; optional settings accept both ends of their range.
TEST(ConfigParser, OptionalUnknownAndOutOfRangeSettingsAreAccepted) {
    json config = valid_config();
    config.erase("save_statistics_to_file");
    config["not_a_setting"] = {1, 2, 3};
    config["log_level"] = 42;
    config["ice_local_addresses"] = {"127.0.0.1", "::1", "10.1.2.3"};
    config["latency_ms"] = 1;
    config["max_incomplete_bytes"] = 1 << 20;
    config["catchup_max_bytes"] = 0;
    config["catchup_max_frames"] = 10'000;
    config["receive_buffer_bytes"] = 1;
    config["signalling_encryption_required"] = true;
    config["listen_port"] = 0;
    config["utm_port"] = 30000.0;
    config["record"] = true;
    config["record_segment_s"] = 1;
    config["record_keep_bytes"] = 0;
    ConfigParser record = parsed(config);
    EXPECT_EQ(record.ice_local_addresses,
              (std::vector<std::string>{"127.0.0.1", "::1", "10.1.2.3"}));
    EXPECT_EQ(record.latency_ms, 1);
    EXPECT_EQ(record.max_incomplete_bytes, 1u << 20);
    EXPECT_EQ(record.catchup_max_bytes, 0u);
    EXPECT_EQ(record.catchup_max_frames, 10'000u);
    EXPECT_EQ(record.receive_buffer_bytes, 1u);
    EXPECT_TRUE(record.signalling_encryption_required);
    EXPECT_EQ(record.utm_port, 30000);
    EXPECT_EQ(record.log_level, 42);
    EXPECT_FALSE(record.save_statistics_to_file);
    EXPECT_TRUE(record.record);
    EXPECT_EQ(record.record_segment_s, 1u);
    EXPECT_EQ(ConfigParser().record_segment_s, 300u);
    EXPECT_FALSE(ConfigParser().record);

    config["ice_local_addresses"] = json::array();
    config["record_segment_s"] = 3600;
    config["record_keep_bytes"] = 18'446'744'073'709'551'615u;
    config["latency_ms"] = 10'000;
    config["receive_buffer_bytes"] = 536'870'912;
    config["listen_port"] = 65535;
    config["log_level"] = -3;
    record = parsed(config);
    EXPECT_TRUE(record.ice_local_addresses.empty());
    EXPECT_EQ(record.latency_ms, 10'000);
    EXPECT_EQ(record.receive_buffer_bytes, 536'870'912u);
    EXPECT_EQ(record.listen_port, 65535);
    EXPECT_EQ(record.log_level, -3);
    EXPECT_EQ(record.record_segment_s, 3600u);
    EXPECT_EQ(record.record_keep_bytes, 18'446'744'073'709'551'615u);
}

// Each refusal carries the error number operators look up, and where the number alone does not
// say what is wrong, the text they read. Hex digits are refused in the
// forms a lenient number reader would take (whitespace, sign, "0x" prefix); integer fields
// refuse what does not fit them (found by fuzzing: a port of 3e42 was an undefined conversion,
// and 70000 or -1 silently named another port).
TEST(ConfigParser, EachWrongValueIsRefusedWithItsErrorNumber) {
    struct Case {
        const char* key;
        const char* error;
        std::vector<json> wrong;
    };
    const Case cases[] = {
        {"manet_addr", "type_error.1001] Manet addr has wrong len", {"0A0B0C0"}},
        {"manet_key", "type_error.1002] Manet key has wrong len", {std::string(34, '0')}},
        {"manet_addr",
         "type_error.1003] Manet addr has wrong format",
         {" A0B0C0D", "+A0B0C0D", "0x0B0C0D", "0A0B0C0G"}},
        {"manet_key",
         "type_error.1004] Manet key has wrong format",
         {" 00102030405060708090a0b0c0d0e0f", "000102030405060708090a0b0c0d0e0x",
          "0x0102030405060708090a0b0c0d0e0f"}},
        {"ice_local_addresses", "type_error.302", {"127.0.0.1", json{1, 2}}},
        {"ice_local_addresses", "type_error.1005", {json{"localhost"}, json{"1.2.3"}}},
        {"latency_ms", "type_error.1006", {0, -5, 10'001, 250.5, "400"}},
        {"max_incomplete_bytes", "type_error.1007", {(1 << 20) - 1, -1, 1e12, "64M"}},
        {"catchup_max_bytes", "type_error.1010", {(9 << 20) + 1, -1, 1.5, "8M"}},
        {"catchup_max_frames", "type_error.1010", {10'001, -1, nullptr}},
        {"receive_buffer_bytes",
         "type_error.1008] receive_buffer_bytes must be a whole number of bytes from 1 to "
         "536870912: ",
         {0, -1, 536'870'913, 1.5, "8388608", 18'446'744'073'709'551'615u, nullptr}},
        {"listen_port", "type_error.1009", {65536, -1, 3e42, 80.5}},
        {"utm_port", "type_error.1009", {65536, -1, 3e42, 80.5}},
        {"utm_port", "type_error.302", {"80"}},
        {"log_level", "type_error.1009", {int64_t{1} << 31, -1e300, 2.5}},
        {"record", "type_error.302", {1, "true"}},
        {"record_segment_s", "type_error.1011", {0, -1, 3601, 1.5, "300"}},
        {"record_keep_bytes", "type_error.1012", {-1, 1.5, "1G"}},
    };
    for (const Case& c : cases) {
        for (const json& wrong : c.wrong) {
            json config = valid_config();
            config[c.key] = wrong;
            const std::string expected = "[json.exception." + std::string(c.error);
            try {
                ConfigParser().parse_config(config.dump());
                ADD_FAILURE() << c.key << " " << wrong.dump() << " was accepted";
            } catch (const std::exception& e) {
                EXPECT_TRUE(std::string(e.what()).starts_with(expected))
                    << c.key << " " << wrong.dump() << ": " << e.what();
            }
        }
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
