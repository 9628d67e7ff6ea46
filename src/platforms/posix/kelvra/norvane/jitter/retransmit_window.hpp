#pragma once

#include <cstdint>
#include <vector>

namespace kelvra::norvane::jitter {

// Requests produced by the retransmission passes of the last budget window: one entry per pass,
// oldest first, in a ring that grows to the number of passes per window and then stops
// allocating.
class RetransmitWindow {
public:
    struct Entry {
        int64_t time = 0;
        uint32_t count = 0;
    };

    // Drops the entries that left the window, those with time + kRetransmitBudgetWindowUs < now.
    // Passes are recorded in time order, so they leave from the front.
    void expire(int64_t now);
    void push(int64_t time, uint32_t count);

    uint64_t size() const { return size_; }
    // Sum of the counts of the entries held.
    uint64_t requests() const { return requests_; }

private:
    void grow();

    std::vector<Entry> ring_;  // capacity is zero or a power of two
    uint64_t head_ = 0;
    uint64_t size_ = 0;
    uint64_t requests_ = 0;
};

}  // namespace kelvra::norvane::jitter
