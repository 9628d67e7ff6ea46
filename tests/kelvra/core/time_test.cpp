#include "kelvra/core/time.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace kelvra {
namespace {

TEST(MonotonicTime, NeverGoesBackwards) {
    int64_t previous = time_us();
    for (int i = 0; i < 10'000; ++i) {
        const int64_t now = time_us();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

// Each conversion reads both clocks, so a preemption between those reads skews a single
// result; the tightest of many attempts shows the conversion itself.
constexpr int kAttempts = 200;
// Each clock reading is truncated to whole microseconds.
constexpr int64_t kTruncationUs = 2;

TEST(UtcTime, ConversionOfNowLiesBetweenTwoReadingsOfTheRealTimeClock) {
    bool bracketed = false;
    for (int i = 0; i < kAttempts && !bracketed; ++i) {
        const int64_t before = time_utc_us();
        const int64_t converted = time_utc_us(time_us());
        const int64_t after = time_utc_us();
        bracketed = converted + kTruncationUs >= before && converted <= after + kTruncationUs;
    }
    EXPECT_TRUE(bracketed);
}

TEST(UtcTime, ConversionKeepsDistancesBetweenMonotonicTimes) {
    int64_t best_error = INT64_MAX;
    for (int i = 0; i < kAttempts; ++i) {
        const int64_t now = time_us();
        const int64_t distance = time_utc_us(now) - time_utc_us(now - 5'000'000);
        best_error = std::min(best_error, std::abs(distance - 5'000'000));
    }
    EXPECT_LE(best_error, 2 * kTruncationUs);
}

TEST(DateTime, ToUsIsUtcWithMicroseconds) {
    EXPECT_EQ((DateTime{0, 1970, 1, 1, 0, 0, 0}.to_us()), 0);
    EXPECT_EQ((DateTime{789'012, 2000, 3, 1, 12, 34, 56}.to_us()), 951'914'096'789'012);
    EXPECT_EQ((DateTime{999'999, 2024, 2, 29, 23, 59, 59}.to_us()), 1'709'251'199'999'999);
    EXPECT_EQ((DateTime{0, 1969, 12, 31, 23, 59, 59}.to_us()), -1'000'000);
}

}  // namespace
}  // namespace kelvra
