#include "kelvra/manet/manet_config.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace kelvra::manet {
namespace {

TEST(ManetConfig, ParsesHexAddresses) {
    EXPECT_EQ(parse_hex_addr("0a0B0c0D"), 0x0a0b0c0du);
    EXPECT_EQ(parse_hex_addr("0xffffffff"), 0xffffffffu);
    EXPECT_EQ(parse_hex_addr("7"), 7u);
    EXPECT_FALSE(parse_hex_addr(""));
    EXPECT_FALSE(parse_hex_addr("0x"));
    EXPECT_FALSE(parse_hex_addr("123456789"));  // nine digits do not fit
    EXPECT_FALSE(parse_hex_addr("12g4"));
}

std::optional<ManetConfig> load(const std::string& text) {
    const std::string path = ::testing::TempDir() + "manet_config_" + std::to_string(getpid());
    std::ofstream(path) << text;
    auto config = load_manet_config(path);
    std::remove(path.c_str());
    return config;
}

TEST(ManetConfigFile, ReadsAddressAndKey) {
    const auto config = load("# node\nADDR 0a0b0c0d\n\nKEY = 000102030405060708090a0b0c0d0e0f\n");
    ASSERT_TRUE(config);
    EXPECT_EQ(config->addr, 0x0a0b0c0du);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(config->key[i], i);
}

TEST(ManetConfigFile, RejectsIncompleteOrMalformedDescriptions) {
    EXPECT_FALSE(load("ADDR 0a0b0c0d\n"));
    EXPECT_FALSE(load("KEY 000102030405060708090a0b0c0d0e0f\n"));
    EXPECT_FALSE(load("ADDR 0a0b0c\nKEY 000102030405060708090a0b0c0d0e0f\n"));
    EXPECT_FALSE(load("ADDR 0a0b0c0d\nKEY 000102030405060708090a0b0c0d0e\n"));
    EXPECT_FALSE(load("ADDR 0a0b0c0d\nKEY 000102030405060708090a0b0c0d0e0z\n"));
    EXPECT_FALSE(load_manet_config("/nonexistent/manet"));
}

}  // namespace
}  // namespace kelvra::manet
