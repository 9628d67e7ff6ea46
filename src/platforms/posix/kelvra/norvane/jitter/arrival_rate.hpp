#pragma once

#include <array>
#include <cstdint>

namespace kelvra::norvane::jitter {

// Fragments received over the last second, counted in ten slots of 100 ms so that counting
// costs no allocation and the figure follows a change of rate within a tenth of a second.
class ArrivalRate {
public:
    void add(int64_t now_us) {
        const int64_t slot = now_us / kSlotUs;
        Slot& s = slots_[static_cast<uint64_t>(slot) % slots_.size()];
        if (s.index != slot) s = Slot{slot, 0};
        ++s.count;
    }

    uint64_t last_second(int64_t now_us) const {
        const int64_t current = now_us / kSlotUs;
        uint64_t total = 0;
        for (const Slot& s : slots_) {
            if (s.index > current - static_cast<int64_t>(slots_.size()) && s.index <= current)
                total += s.count;
        }
        return total;
    }

private:
    static constexpr int64_t kSlotUs = 100'000;
    struct Slot {
        int64_t index = -1;
        uint64_t count = 0;
    };
    std::array<Slot, 10> slots_{};
};

}  // namespace kelvra::norvane::jitter
