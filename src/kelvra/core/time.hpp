#pragma once

#include <cstdint>

namespace kelvra {

// Monotonic microseconds: drives every timer, deadline and rate.
int64_t time_us();
// Microseconds since the Unix epoch: only for dates written to disk.
int64_t time_utc_us();
// Converts a monotonic time to UTC using the current offset between the two clocks.
int64_t time_utc_us(int64_t monotonic_us);
bool time_utc_valid();
void set_utc_offset(int64_t offset_us);
void sleep_us(int64_t duration_us);

// Broken-down UTC time.
struct DateTime {
    int32_t microseconds = 0;
    uint16_t year = 1970;
    uint8_t month = 1;
    uint8_t day = 1;
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;

    int64_t to_us() const;
};

// Source of monotonic time for logic whose timing must be testable without sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    virtual int64_t now_us() const = 0;
};

// The real monotonic clock (`time_us`).
const Clock& monotonic_clock();

// A clock that only moves when told to; for tests and simulations.
class ManualClock final : public Clock {
public:
    explicit ManualClock(int64_t start_us = 1'000'000'000) : now_(start_us) {}
    int64_t now_us() const override { return now_; }
    void set(int64_t t_us) { now_ = t_us; }
    void advance(int64_t delta_us) { now_ += delta_us; }

private:
    int64_t now_;
};

}  // namespace kelvra
