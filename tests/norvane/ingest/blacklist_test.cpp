#include "kelvra/norvane/ingest/blacklist.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sstream>

namespace kelvra::norvane {
namespace {

uint32_t addr(const char* dotted) {
    in_addr a{};
    inet_pton(AF_INET, dotted, &a);
    return a.s_addr;
}

TEST(Blacklist, TwentiethErrorBlocksForSixtySecondsFromThatErrorAndFewerNeverDecay) {
    std::ostringstream log;
    auto logger = std::make_shared<spdlog::logger>(
        "blacklist-test", std::make_shared<spdlog::sinks::ostream_sink_st>(log));
    logger->set_pattern("%v");
    logger->set_level(spdlog::level::trace);
    ManualClock clock;
    Blacklist blacklist(logger, clock);
    const uint32_t source = addr("127.0.0.5");
    const uint32_t sporadic = addr("127.0.0.7");
    for (int i = 0; i < 19; ++i) {
        blacklist.add_error(source);
        blacklist.add_error(sporadic);
        clock.advance(1000);
    }
    EXPECT_FALSE(blacklist.is_blocked(source));
    EXPECT_EQ(log.str(), "");
    blacklist.add_error(source);
    EXPECT_EQ(log.str(), "Adding address 127.0.0.5 to the blacklist\n");
    const int64_t blocked_at = clock.now_us();
    EXPECT_TRUE(blacklist.is_blocked(source));
    EXPECT_FALSE(blacklist.is_blocked(addr("127.0.0.6")));

    // Exactly 60 s after the error the block still holds; just past it, it is lifted once.
    clock.set(blocked_at + 60'000'000);
    EXPECT_TRUE(blacklist.is_blocked(source));
    clock.set(blocked_at + 60'000'001);
    log.str("");
    EXPECT_FALSE(blacklist.is_blocked(source));
    EXPECT_EQ(log.str(), "Removing address 127.0.0.5 from the blacklist after timeout\n");
    EXPECT_FALSE(blacklist.candidates().contains(source));

    // Counting starts again from nothing.
    blacklist.add_error(source);
    EXPECT_EQ(blacklist.candidates().at(source).errors, 1);
    EXPECT_EQ(blacklist.candidates().at(source).last_error_us, 0);
    EXPECT_FALSE(blacklist.is_blocked(source));

    // Errors short of the limit are kept however old they are.
    clock.advance(3600'000'000);
    EXPECT_FALSE(blacklist.is_blocked(sporadic));
    EXPECT_EQ(blacklist.candidates().at(sporadic).errors, 19);
}

}  // namespace
}  // namespace kelvra::norvane
