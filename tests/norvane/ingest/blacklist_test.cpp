#include "kelvra/norvane/ingest/blacklist.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <sstream>

namespace kelvra::norvane {
namespace {

class BlacklistTest : public ::testing::Test {
protected:
    BlacklistTest() {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(log_);
        logger_ = std::make_shared<spdlog::logger>("blacklist-test", sink);
        logger_->set_pattern("%v");
        logger_->set_level(spdlog::level::trace);
    }

    static uint32_t addr(const char* dotted) {
        in_addr a{};
        inet_pton(AF_INET, dotted, &a);
        return a.s_addr;
    }

    std::ostringstream log_;
    std::shared_ptr<spdlog::logger> logger_;
    ManualClock clock_;
};

TEST_F(BlacklistTest, TwentiethErrorBlocksForSixtySecondsFromThatError) {
    Blacklist blacklist(logger_, clock_);
    const uint32_t source = addr("127.0.0.5");
    for (int i = 0; i < 19; ++i) {
        blacklist.add_error(source);
        clock_.advance(1000);
    }
    EXPECT_FALSE(blacklist.is_blocked(source));
    EXPECT_EQ(log_.str(), "");
    blacklist.add_error(source);
    EXPECT_EQ(log_.str(), "Adding address 127.0.0.5 to the blacklist\n");
    const int64_t blocked_at = clock_.now_us();
    EXPECT_TRUE(blacklist.is_blocked(source));
    EXPECT_FALSE(blacklist.is_blocked(addr("127.0.0.6")));

    // Exactly 60 s after the error the block still holds; just past it, it is lifted once.
    clock_.set(blocked_at + 60'000'000);
    EXPECT_TRUE(blacklist.is_blocked(source));
    clock_.set(blocked_at + 60'000'001);
    log_.str("");
    EXPECT_FALSE(blacklist.is_blocked(source));
    EXPECT_EQ(log_.str(), "Removing address 127.0.0.5 from the blacklist after timeout\n");
    EXPECT_TRUE(blacklist.candidates().empty());

    // Counting starts again from nothing.
    blacklist.add_error(source);
    EXPECT_EQ(blacklist.candidates().at(source).errors, 1);
    EXPECT_EQ(blacklist.candidates().at(source).last_error_us, 0);
    EXPECT_FALSE(blacklist.is_blocked(source));
}

TEST_F(BlacklistTest, FewerThanTwentyErrorsNeverDecay) {
    Blacklist blacklist(logger_, clock_);
    const uint32_t source = addr("127.0.0.7");
    for (int i = 0; i < 19; ++i) blacklist.add_error(source);
    clock_.advance(3600'000'000);
    EXPECT_FALSE(blacklist.is_blocked(source));
    EXPECT_EQ(blacklist.candidates().at(source).errors, 19);
}

}  // namespace
}  // namespace kelvra::norvane
