#include "kelvra/norvane/jitter/roundtrip_estimator.hpp"

#include <algorithm>
#include <cstdlib>

namespace kelvra::norvane::jitter {

void RoundtripEstimator::add_sample(int64_t sample_us) {
    sample_us = std::max<int64_t>(sample_us, 0);
    if (samples_++ == 0) {
        smoothed_us_ = sample_us;
        deviation_us_ = sample_us / 4;
        return;
    }
    // The usual weights: 1/4 of a new deviation, 1/8 of a new sample.
    deviation_us_ += (std::abs(smoothed_us_ - sample_us) - deviation_us_) / 4;
    smoothed_us_ += (sample_us - smoothed_us_) / 8;
}

int64_t RoundtripEstimator::timeout(int64_t fallback_us) const {
    if (!measured()) return fallback_us + std::max(fallback_us / 4, kMinMarginUs);
    return smoothed_us_ + std::max(4 * deviation_us_, kMinMarginUs);
}

}  // namespace kelvra::norvane::jitter
