#include "../../../tools/sender/sender_options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvra::norvane::sender {
namespace {

OptionsResult parse(std::vector<std::string> args) {
    args.insert(args.begin(), "norvane-sender");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    return parse_sender_options(static_cast<int>(argv.size()), argv.data());
}

TEST(SenderOptions, ConvertsValuesAsGiven) {
    const auto r = parse({"--gateway",    "localhost:4000",
                          "--manet-addr", "0x1A2B",
                          "--camera",     "3",
                          "--key",        "ffeeddccbbaa99887766554433221100",
                          "--ivf",        "x.ivf",
                          "--delay-ms",   "25",
                          "--loss",       "0.1",
                          "--reorder",    "4",
                          "--flight",     "-1",
                          "--streams",    "3",
                          "--detections", "125"});
    ASSERT_TRUE(std::holds_alternative<SenderOptions>(r)) << std::get<OptionsExit>(r).text;
    const auto& g = std::get<SenderOptions>(r);
    EXPECT_EQ(g.gateway_host, "localhost");
    EXPECT_EQ(g.gateway_port, 4000);
    EXPECT_EQ(g.manet_addr, 0x1A2Bu);
    EXPECT_EQ(g.camera, 3);
    EXPECT_EQ(g.key[0], 0xff);
    EXPECT_EQ(g.source, SourceKind::Ivf);
    EXPECT_EQ(g.impairments.delay_us, 25'000);
    EXPECT_EQ(g.impairments.reorder_window, 4u);
    EXPECT_EQ(g.flight_id, -1);
    EXPECT_EQ(g.streams, 3u);
}

TEST(SenderOptions, RejectsValuesThatWouldMisbehave) {
    const std::vector<std::vector<std::string>> bad = {
        {"--key", "0011"},
        {"--key", "zz0102030405060708090a0b0c0d0e0f"},
        {"--manet-addr", "123456789"},
        {"--manet-addr", "ffffffff", "--streams", "2"},  // would wrap to address 0
        {"--streams", "0"},
        {"--camera", "256"},
        {"--gateway", "127.0.0.1"},
        {"--gateway", "127.0.0.1:0"},
        {"--gateway", "127.0.0.1:70000"},
        {"--loss", "1.5"},
        {"--dup", "-0.1"},
        {"--detections", "126"},
        {"--fps", "0"},
        {"--ivf", "a.ivf", "--encode", "vp8"},
        {"--encode", "h264"},
        {"--pattern", "smpte ! fakesink"},
        {"--min-rtt-us", "10", "--max-rtt-us", "5"},
        {"--no-such-option"},
    };
    for (const auto& args : bad) {
        SCOPED_TRACE(args.front() + " " + (args.size() > 1 ? args[1] : ""));
        const auto r = parse(args);
        ASSERT_TRUE(std::holds_alternative<OptionsExit>(r));
        EXPECT_EQ(std::get<OptionsExit>(r).status, 1);
    }
    const auto help = parse({"--help"});
    ASSERT_TRUE(std::holds_alternative<OptionsExit>(help));
    EXPECT_EQ(std::get<OptionsExit>(help).status, 0);
    EXPECT_NE(std::get<OptionsExit>(help).text.find("--resend-loss"), std::string::npos);
}

}  // namespace
}  // namespace kelvra::norvane::sender
