#pragma once

#include <cstdint>

namespace kelvra::norvane::jitter {

// When the stream's next fragment is overdue: the smoothed interval between the first fragments
// of consecutive frames, and the time the last fragment arrived. A frame whose last fragments
// were lost shows nothing missing until something later arrives; once a whole frame interval
// has passed in silence, its rest is missing too (the end of a stream, or a link gone quiet).
class FramePace {
public:
    void on_fragment(int64_t now_us) { last_fragment_us_ = now_us; }

    void on_new_frame(int64_t now_us) {
        const int64_t interval = now_us - last_frame_us_;
        last_frame_us_ = now_us;
        if (interval <= 0 || interval > kLongestIntervalUs) return;
        smoothed_interval_us_ =
            smoothed_interval_us_ == 0
                ? interval
                : smoothed_interval_us_ + (interval - smoothed_interval_us_) / 8;
    }

    bool next_overdue(int64_t now_us) const {
        return smoothed_interval_us_ != 0 && now_us - last_fragment_us_ >= smoothed_interval_us_;
    }

private:
    // Longer gaps are pauses of the stream, not its frame rate.
    static constexpr int64_t kLongestIntervalUs = 1'000'000;

    int64_t last_fragment_us_ = 0;
    int64_t last_frame_us_ = 0;
    int64_t smoothed_interval_us_ = 0;
};

}  // namespace kelvra::norvane::jitter
