#include "lossrelay/delay_line.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "kelvra/core/time.hpp"

namespace kelvra::norvane::lossrelay {
namespace {

struct Released {
    int64_t at_us;
    std::vector<uint8_t> bytes;
};

// A delay line driven by a manual clock, recording what it releases and when.
class Line {
public:
    explicit Line(const LinkSettings& settings) : line(settings) {}

    bool submit(uint8_t tag) {
        const std::vector<uint8_t> bytes = {tag, 0xab};
        return line.submit(bytes, clock.now_us());
    }
    // Moves the clock forward in 100 µs steps, releasing what is due at each step.
    void run_for(int64_t duration_us) {
        const int64_t end = clock.now_us() + duration_us;
        while (clock.now_us() < end) {
            clock.advance(100);
            line.release_due(clock.now_us(), [&](std::span<const uint8_t> d) {
                out.push_back({clock.now_us(), {d.begin(), d.end()}});
            });
        }
    }

    ManualClock clock{0};
    DelayLine line;
    std::vector<Released> out;
};

TEST(DelayLine, HoldsEveryDatagramForTheDelayAndKeepsArrivalOrder) {
    Line l({.delay_us = 25'000});
    l.submit(1);
    l.submit(2);  // due at the same time as the first: must not overtake it
    l.clock.advance(1'000);
    l.submit(3);
    EXPECT_EQ(l.line.next_due_us(), 25'000);
    EXPECT_EQ(l.line.release_due(24'999, [](auto) { FAIL() << "released early"; }), 0u);

    l.run_for(30'000);
    ASSERT_EQ(l.out.size(), 3u);
    EXPECT_EQ(l.out[0].at_us, 25'000);
    EXPECT_EQ(l.out[1].at_us, 25'000);
    EXPECT_EQ(l.out[2].at_us, 26'000);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(l.out[static_cast<size_t>(i)].bytes,
                  (std::vector<uint8_t>{uint8_t(i + 1), 0xab}));
    EXPECT_FALSE(l.line.next_due_us());
    EXPECT_EQ(l.line.counters().released, 3u);
    EXPECT_EQ(l.line.counters().bytes_released, 6u);
}

// Which datagrams a seed loses, over many.
std::vector<bool> losses(const LinkSettings& settings, int count) {
    DelayLine line(settings);
    std::vector<bool> lost;
    const uint8_t byte = 0;
    for (int i = 0; i < count; ++i) lost.push_back(!line.submit({&byte, 1}, i * 1000));
    return lost;
}

TEST(DelayLine, LossFollowsTheProbabilityAndRepeatsForASeed) {
    constexpr int kCount = 20'000;
    for (const double p : {0.05, 0.1, 0.2}) {
        const auto lost = losses({.loss = p, .seed = 3}, kCount);
        const double share =
            static_cast<double>(std::count(lost.begin(), lost.end(), true)) / kCount;
        EXPECT_NEAR(share, p, 0.01) << "p=" << p;
    }
    EXPECT_EQ(losses({.loss = 0.1, .seed = 3}, 1000), losses({.loss = 0.1, .seed = 3}, 1000));
    EXPECT_NE(losses({.loss = 0.1, .seed = 3}, 1000), losses({.loss = 0.1, .seed = 4}, 1000));
    // The jitter draws do not shift the loss pattern.
    EXPECT_EQ(losses({.loss = 0.1, .delay_us = 50'000, .jitter_us = 20'000, .seed = 3}, 1000),
              losses({.loss = 0.1, .seed = 3}, 1000));

    Line l({.loss = 0.5, .delay_us = 1'000, .seed = 9});
    int accepted = 0;
    for (int i = 0; i < 200; ++i) accepted += l.submit(static_cast<uint8_t>(i)) ? 1 : 0;
    l.run_for(2'000);
    EXPECT_EQ(l.out.size(), static_cast<size_t>(accepted));
    EXPECT_EQ(l.line.counters().dropped, 200u - static_cast<uint64_t>(accepted));

    const auto none = losses({.loss = 0.0}, 1000);
    EXPECT_EQ(std::count(none.begin(), none.end(), true), 0);
    const auto all = losses({.loss = 1.0}, 1000);
    EXPECT_EQ(std::count(all.begin(), all.end(), true), 1000);
}

TEST(DelayLine, JitterStaysWithinItsBoundsAndReorders) {
    Line l({.delay_us = 20'000, .jitter_us = 10'000, .seed = 5});
    std::vector<int64_t> sent_at;
    for (int i = 0; i < 250; ++i) {
        sent_at.push_back(l.clock.now_us());
        l.submit(static_cast<uint8_t>(i));
        l.run_for(1'000);
    }
    l.run_for(40'000);
    ASSERT_EQ(l.out.size(), 250u);
    size_t overtaken = 0;
    for (size_t i = 0; i < l.out.size(); ++i) {
        const uint8_t tag = l.out[i].bytes[0];
        const int64_t delay = l.out[i].at_us - sent_at[tag];
        // Released on the first 100 µs step at or after it was due.
        EXPECT_GE(delay, 10'000);
        EXPECT_LE(delay, 30'100);
        if (i > 0 && tag < l.out[i - 1].bytes[0]) ++overtaken;
    }
    EXPECT_GT(overtaken, 10u);
}

TEST(DelayLine, JitterLargerThanTheDelayNeverReleasesBeforeArrival) {
    DelayLine line({.delay_us = 1'000, .jitter_us = 5'000, .seed = 2});
    const uint8_t byte = 0;
    for (int i = 0; i < 200; ++i) {
        const int64_t now = 100'000 + i * 10'000;
        line.submit({&byte, 1}, now);
        ASSERT_GE(*line.next_due_us(), now);
        line.release_due(now + 6'000, [](auto) {});
    }
}

TEST(DelayLine, HoldsAtMostMaxQueuedDatagrams) {
    Line l({.delay_us = 10'000, .max_queued = 2});
    EXPECT_TRUE(l.submit(1));
    EXPECT_TRUE(l.submit(2));
    EXPECT_FALSE(l.submit(3));
    EXPECT_EQ(l.line.counters().overflowed, 1u);
    EXPECT_EQ(l.line.counters().dropped, 0u);
    l.run_for(10'000);
    EXPECT_TRUE(l.submit(4));  // room again once released
    EXPECT_EQ(l.out.size(), 2u);
}

}  // namespace
}  // namespace kelvra::norvane::lossrelay
