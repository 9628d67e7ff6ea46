#include "lossrelay/relay_options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvra::norvane::lossrelay {
namespace {

OptionsResult parse(std::vector<std::string> args) {
    args.insert(args.begin(), "norvane-lossrelay");
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    return parse_relay_options(static_cast<int>(argv.size()), argv.data());
}

TEST(RelayOptions, FullCommandLineSetsBothDirections) {
    const auto r =
        parse({"--listen", "127.0.0.1:0", "--gateway", "localhost:30000", "--loss-up", "0.1",
               "--loss-down", "0.2", "--delay-ms", "25.5", "--jitter-ms", "3", "--seed", "7"});
    ASSERT_TRUE(std::holds_alternative<RelayOptions>(r)) << std::get<OptionsExit>(r).text;
    const auto& o = std::get<RelayOptions>(r);
    EXPECT_EQ(o.listen.text(), "127.0.0.1:0");  // any free port
    EXPECT_EQ(o.gateway.text(), "127.0.0.1:30000");
    EXPECT_DOUBLE_EQ(o.up.loss, 0.1);
    EXPECT_DOUBLE_EQ(o.down.loss, 0.2);
    EXPECT_EQ(o.up.delay_us, 25'500);
    EXPECT_EQ(o.down.delay_us, 25'500);
    EXPECT_EQ(o.up.jitter_us, 3'000);
    EXPECT_EQ(o.up.seed, 7u);
    // Each direction draws its own losses.
    EXPECT_NE(o.down.seed, o.up.seed);
}

TEST(RelayOptions, RejectsWhatItCannotHonour) {
    const std::vector<std::vector<std::string>> bad = {
        {"--gateway", "127.0.0.1:1"},
        {"--listen", "127.0.0.1:5", "--gateway", "127.0.0.1:0"},
        {"--listen", "127.0.0.1:5"},
        {"--listen", "nohost:5", "--gateway", "127.0.0.1:1"},
        {"--listen", "127.0.0.1:70000", "--gateway", "127.0.0.1:1"},
        {"--listen", "127.0.0.1:", "--gateway", "127.0.0.1:1"},
        {"--listen", "127.0.0.1:5", "--gateway", "127.0.0.1:1", "--loss-up", "1.5"},
        {"--listen", "127.0.0.1:5", "--gateway", "127.0.0.1:1", "--loss-down", "-0.1"},
        {"--listen", "127.0.0.1:5", "--gateway", "127.0.0.1:1", "--delay-ms", "-1"},
        {"--listen", "127.0.0.1:5", "--gateway", "127.0.0.1:1", "--jitter-ms", "nan"},
        {"--listen", "127.0.0.1:5", "--gateway", "127.0.0.1:1", "stray"},
    };
    for (const auto& args : bad) {
        const auto r = parse(args);
        ASSERT_TRUE(std::holds_alternative<OptionsExit>(r)) << args.back();
        EXPECT_EQ(std::get<OptionsExit>(r).status, 1) << args.back();
    }
}

}  // namespace
}  // namespace kelvra::norvane::lossrelay
