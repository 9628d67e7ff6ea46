#pragma once

// Bits sent over the last second, kept in ten 100 ms buckets so that recording a datagram costs
// a few additions.

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace kelvra::norvane::sender {

class BitrateMeter {
public:
    static constexpr int64_t kBucketUs = 100'000;
    static constexpr size_t kBuckets = 10;  // one second

    void add(uint64_t bytes, int64_t now_us) {
        Bucket& b = bucket_for(now_us);
        b.bytes += bytes;
    }

    // Bits per second over the buckets of the last second, the current one included.
    uint32_t bits_per_second(int64_t now_us) const {
        const int64_t current = epoch_of(now_us);
        uint64_t bytes = 0;
        for (const Bucket& b : buckets_)
            if (b.epoch > current - static_cast<int64_t>(kBuckets) && b.epoch <= current)
                bytes += b.bytes;
        const uint64_t bits = bytes * 8;
        return bits > std::numeric_limits<uint32_t>::max() ? std::numeric_limits<uint32_t>::max()
                                                           : static_cast<uint32_t>(bits);
    }

private:
    struct Bucket {
        int64_t epoch = std::numeric_limits<int64_t>::min();
        uint64_t bytes = 0;
    };

    static int64_t epoch_of(int64_t now_us) {
        return now_us >= 0 ? now_us / kBucketUs : (now_us - kBucketUs + 1) / kBucketUs;
    }

    Bucket& bucket_for(int64_t now_us) {
        const int64_t epoch = epoch_of(now_us);
        Bucket& b = buckets_[static_cast<size_t>(
            ((epoch % static_cast<int64_t>(kBuckets)) + static_cast<int64_t>(kBuckets)) %
            static_cast<int64_t>(kBuckets))];
        if (b.epoch != epoch) b = Bucket{epoch, 0};
        return b;
    }

    std::array<Bucket, kBuckets> buckets_{};
};

}  // namespace kelvra::norvane::sender
