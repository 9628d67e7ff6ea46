#include "kelvra/core/time.hpp"

#include <time.h>
#include <unistd.h>

namespace kelvra {
namespace {

int64_t read_clock(clockid_t id) {
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

class MonotonicClock final : public Clock {
public:
    int64_t now_us() const override { return time_us(); }
};

}  // namespace

int64_t time_us() {
    return read_clock(CLOCK_MONOTONIC);
}

int64_t time_utc_us() {
    return read_clock(CLOCK_REALTIME);
}

int64_t time_utc_us(int64_t monotonic_us) {
    const int64_t utc_now = read_clock(CLOCK_REALTIME);
    const int64_t mono_now = read_clock(CLOCK_MONOTONIC);
    return utc_now - mono_now + monotonic_us;
}

bool time_utc_valid() {
    return true;
}

void set_utc_offset(int64_t /*offset_us*/) {}

void sleep_us(int64_t duration_us) {
    if (duration_us > 0) usleep(static_cast<useconds_t>(duration_us));
}

int64_t DateTime::to_us() const {
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = 0;
    return static_cast<int64_t>(timegm(&t)) * 1'000'000 + microseconds;
}

const Clock& monotonic_clock() {
    static const MonotonicClock clock;
    return clock;
}

}  // namespace kelvra
