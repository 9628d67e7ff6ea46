#include "kelvra/norvane/config/config_parser.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

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

// Id of the JSON library's exception thrown by parsing `text`, or 0 when none was thrown.
template <typename Exception>
int error_id_of(const std::string& text) {
    ConfigParser record;
    try {
        record.parse_config(text);
    } catch (const Exception& e) {
        return e.id;
    }
    return 0;
}

TEST(ConfigParser, LoadsEveryField) {
    const ConfigParser record = parsed(valid_config());
    EXPECT_EQ(record.listen_ip, "127.0.0.1");
    EXPECT_EQ(record.listen_port, 31000);
    EXPECT_EQ(record.utm_host, "signalling.test");
    EXPECT_EQ(record.utm_port, 6000);
    EXPECT_EQ(record.stun_url, "stun.test:3478");
    EXPECT_EQ(record.turn_url, "u:p@turn.test:3478");
    EXPECT_TRUE(record.log_statistics);
    EXPECT_EQ(record.log_level, 2);
    EXPECT_EQ(record.save_dir, "/tmp/flights");
    EXPECT_TRUE(record.show_local_video);
    EXPECT_TRUE(record.save_statistics_to_file);
    EXPECT_EQ(record.manet.addr, 0x0A0B0C0Du);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(record.manet.key[i], i) << "key byte " << i;
}

TEST(ConfigParser, AcceptsHexDigitsOfEitherCase) {
    json config = valid_config();
    config["manet_addr"] = "deadBEEF";
    config["manet_key"] = "F0e1D2c3B4a5968778695A4b3C2d1E0f";
    const ConfigParser record = parsed(config);
    EXPECT_EQ(record.manet.addr, 0xDEADBEEFu);
    const uint8_t expected[16] = {0xF0, 0xE1, 0xD2, 0xC3, 0xB4, 0xA5, 0x96, 0x87,
                                  0x78, 0x69, 0x5A, 0x4B, 0x3C, 0x2D, 0x1E, 0x0F};
    for (int i = 0; i < 16; ++i) EXPECT_EQ(record.manet.key[i], expected[i]) << "key byte " << i;
}

TEST(ConfigParser, OptionalAndUnknownKeys) {
    json config = valid_config();
    config.erase("save_statistics_to_file");
    config["not_a_setting"] = {1, 2, 3};
    config["log_level"] = 42;
    ConfigParser record = parsed(config);
    EXPECT_FALSE(record.save_statistics_to_file);
    EXPECT_EQ(record.log_level, 42);

    config["log_level"] = -3;
    record = parsed(config);
    EXPECT_EQ(record.log_level, -3);
}

class MissingKey : public ::testing::TestWithParam<const char*> {};

TEST_P(MissingKey, IsAnOutOfRangeError) {
    json config = valid_config();
    config.erase(GetParam());
    ConfigParser record;
    try {
        record.parse_config(config.dump());
        FAIL() << "accepted a file without " << GetParam();
    } catch (const json::out_of_range& e) {
        EXPECT_EQ(e.id, 403);
        EXPECT_NE(std::string(e.what()).find(std::string("'") + GetParam() + "'"),
                  std::string::npos)
            << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(RequiredKeys, MissingKey,
                         ::testing::Values("listen_ip", "listen_port", "utm_host", "utm_port",
                                           "stun_url", "turn_url", "log_statistics", "log_level",
                                           "save_dir", "show_local_video", "manet_addr",
                                           "manet_key"));

TEST(ConfigParser, WrongJsonTypesAreTypeErrors) {
    json config = valid_config();
    config["listen_port"] = "31000";
    EXPECT_EQ(error_id_of<json::type_error>(config.dump()), 302);

    config = valid_config();
    config["show_local_video"] = 1;
    EXPECT_EQ(error_id_of<json::type_error>(config.dump()), 302);

    config = valid_config();
    config["save_statistics_to_file"] = "yes";
    EXPECT_EQ(error_id_of<json::type_error>(config.dump()), 302);

    EXPECT_EQ(error_id_of<json::type_error>("[1, 2]"), 304);
    EXPECT_EQ(error_id_of<json::type_error>("\"text\""), 304);
}

TEST(ConfigParser, SyntaxErrorsAreParseErrors) {
    EXPECT_EQ(error_id_of<json::parse_error>(""), 101);
    EXPECT_EQ(error_id_of<json::parse_error>("{\"listen_ip\": }"), 101);
    // Comments are not JSON.
    EXPECT_EQ(error_id_of<json::parse_error>("// settings\n" + valid_config().dump()), 101);
}

TEST(ConfigParser, ManetLengthsAreCheckedAddressFirst) {
    json config = valid_config();
    config["manet_addr"] = "0A0B0C0";
    EXPECT_EQ(error_id_of<json::type_error>(config.dump()), 1001);

    config["manet_key"] = "000102030405060708090a0b0c0d0e0";
    EXPECT_EQ(error_id_of<json::type_error>(config.dump()), 1001);

    config["manet_addr"] = "0A0B0C0D";
    EXPECT_EQ(error_id_of<json::type_error>(config.dump()), 1002);

    config["manet_key"] = "000102030405060708090a0b0c0d0e0f0";
    EXPECT_EQ(error_id_of<json::type_error>(config.dump()), 1002);
}

TEST(ConfigParser, NonHexDigitsAreRejected) {
    json config = valid_config();
    config["manet_addr"] = "0A0B0C0G";
    ConfigParser record;
    try {
        record.parse_config(config.dump());
        FAIL() << "accepted a non-hexadecimal address";
    } catch (const json::type_error& e) {
        EXPECT_STREQ(e.what(), "[json.exception.type_error.1003] Manet addr has wrong format");
    }

    config = valid_config();
    config["manet_key"] = "000102030405060708090a0b0c0d0e0x";
    EXPECT_EQ(error_id_of<json::type_error>(config.dump()), 1004);
    config["manet_key"] = " 00102030405060708090a0b0c0d0e0f";
    EXPECT_EQ(error_id_of<json::type_error>(config.dump()), 1004);
}

TEST(ConfigParser, RejectedTextLeavesTheRecordUnchanged) {
    ConfigParser record = parsed(valid_config());
    json config = valid_config();
    config["listen_ip"] = "10.0.0.1";
    config["manet_key"] = "not a key";
    EXPECT_THROW(record.parse_config(config.dump()), json::type_error);
    EXPECT_EQ(record.listen_ip, "127.0.0.1");
    EXPECT_EQ(record.manet.key[15], 0x0f);
}

}  // namespace
}  // namespace kelvra::norvane
