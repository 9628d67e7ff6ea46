#include "kelvra/core/time.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace kelvra {
namespace {

// Each conversion reads both clocks, so a preemption between the reads skews one result; the
// tightest of many attempts shows the conversion itself. Each reading is truncated to whole
// microseconds, hence the slack of 2 µs per reading.
TEST(UtcTime, ConversionMatchesTheRealTimeClockAndKeepsDistances) {
    int64_t best_bracket_miss = INT64_MAX, best_distance_error = INT64_MAX;
    for (int i = 0; i < 200; ++i) {
        const int64_t before = time_utc_us(), now = time_us();
        const int64_t converted = time_utc_us(now), after = time_utc_us();
        best_bracket_miss = std::min(best_bracket_miss,
                                     std::max({before - converted, converted - after, int64_t{0}}));
        const int64_t distance = time_utc_us(now) - time_utc_us(now - 5'000'000);
        best_distance_error = std::min(best_distance_error, std::abs(distance - 5'000'000));
    }
    EXPECT_LE(best_bracket_miss, 2);
    EXPECT_LE(best_distance_error, 4);
}

TEST(DateTime, ToUsIsUtcWithMicroseconds) {
    EXPECT_EQ((DateTime{0, 1970, 1, 1, 0, 0, 0}.to_us()), 0);
    EXPECT_EQ((DateTime{789'012, 2000, 3, 1, 12, 34, 56}.to_us()), 951'914'096'789'012);
    EXPECT_EQ((DateTime{999'999, 2024, 2, 29, 23, 59, 59}.to_us()), 1'709'251'199'999'999);
    EXPECT_EQ((DateTime{0, 1969, 12, 31, 23, 59, 59}.to_us()), -1'000'000);
}

}  // namespace
}  // namespace kelvra
