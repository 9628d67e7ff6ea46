#pragma once

#include <cstdint>

namespace kelvra::norvane::jitter {

// Round trip between a retransmission request and the resent fragment, as the gateway measures
// it: a smoothed mean and mean deviation over the samples, in microseconds. Before the first
// sample every answer comes from the fallback the caller passes (the sender's own figure).
class RoundtripEstimator {
public:
    void add_sample(int64_t sample_us);
    bool measured() const { return samples_ != 0; }

    // The expected round trip.
    int64_t estimate(int64_t fallback_us) const { return measured() ? smoothed_us_ : fallback_us; }
    // How long to wait for a resend before asking again: the round trip and a margin for its
    // variation, never less than kMinMarginUs, so that a resend on its way is not asked for twice.
    int64_t timeout(int64_t fallback_us) const;

    static constexpr int64_t kMinMarginUs = 5'000;

private:
    int64_t smoothed_us_ = 0;
    int64_t deviation_us_ = 0;
    uint64_t samples_ = 0;
};

}  // namespace kelvra::norvane::jitter
