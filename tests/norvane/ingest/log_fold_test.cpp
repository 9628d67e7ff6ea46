#include "kelvra/norvane/ingest/log_fold.hpp"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <sstream>
#include <string>

namespace kelvra::norvane {
namespace {

class LogFoldTest : public ::testing::Test {
protected:
    LogFoldTest() { log_->set_pattern("%v"); }

    // Reports `count` bad datagrams numbered from `first` from `source`.
    void bad(uint32_t source, int first, int count) {
        for (int i = first; i < first + count; ++i) fold_.error(log_, source, "Bad datagram {}", i);
    }
    std::string taken() {
        std::string text = out_.str();
        out_.str("");
        return text;
    }

    std::ostringstream out_;
    std::shared_ptr<spdlog::logger> log_ = std::make_shared<spdlog::logger>(
        "log-fold-test", std::make_shared<spdlog::sinks::ostream_sink_st>(out_));
    ManualClock clock_;
    LogFold fold_{clock_};
};

TEST_F(LogFoldTest, AFloodFromOneSourceIsCountedAndSummedUpOnceItsSecondIsOver) {
    bad(1, 0, 8);
    bad(2, 100, 1);
    fold_.error(log_, 1, "Other {}", 7);
    EXPECT_EQ(taken(),
              "Bad datagram 0\nBad datagram 1\nBad datagram 2\nBad datagram 3\nBad datagram 4\n"
              "Bad datagram 100\nOther 7\n");
    clock_.advance(999'999);
    fold_.flush();
    EXPECT_EQ(taken(), "");
    clock_.advance(1);
    fold_.flush();
    EXPECT_EQ(taken(), "Bad datagram 5 (3 more like this in the last second)\n");
    fold_.flush();
    EXPECT_EQ(taken(), "");
    // A new second writes in full again.
    bad(1, 20, 6);
    EXPECT_EQ(taken(),
              "Bad datagram 20\nBad datagram 21\nBad datagram 22\nBad datagram 23\n"
              "Bad datagram 24\n");
    // The source goes on past its second before a flush: the summary comes first.
    clock_.advance(1'500'000);
    bad(1, 30, 1);
    EXPECT_EQ(taken(), "Bad datagram 25 (1 more like this in the last second)\nBad datagram 30\n");
}

TEST_F(LogFoldTest, WithEveryPlaceInUseTheOldestIsSummedUpEarly) {
    for (uint32_t source = 0; source < LogFold::kCapacity; ++source) {
        bad(source, 0, 6);
        clock_.advance(1);
    }
    taken();
    bad(1000, 0, 1);
    EXPECT_EQ(taken(), "Bad datagram 5 (1 more like this in the last second)\nBad datagram 0\n");
    bad(0, 50, 1);  // source 0 starts afresh; source 1, now the oldest, makes room for it
    EXPECT_EQ(taken(), "Bad datagram 5 (1 more like this in the last second)\nBad datagram 50\n");
}

}  // namespace
}  // namespace kelvra::norvane
