#pragma once

// One direction of the impaired link: every datagram is either lost or held for the one-way
// delay (plus a uniform jitter, which lets later datagrams overtake it) and then released.
// Time is passed in, so the schedule can be driven by any clock.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

namespace kelvra::norvane::lossrelay {

struct LinkSettings {
    double loss = 0.0;          // probability that a datagram is dropped
    int64_t delay_us = 0;       // one-way delay of every datagram that is not dropped
    int64_t jitter_us = 0;      // the delay varies uniformly by up to this much either way
    uint64_t seed = 1;          // of the loss and jitter draws
    size_t max_queued = 65536;  // datagrams held at once; beyond that they are dropped
};

struct LinkCounters {
    uint64_t received = 0;
    uint64_t dropped = 0;     // by the loss draw
    uint64_t overflowed = 0;  // because max_queued datagrams were already held
    uint64_t released = 0;
    uint64_t bytes_released = 0;
};

class DelayLine {
public:
    explicit DelayLine(const LinkSettings& settings)
        : settings_(settings),
          loss_random_(settings.seed),
          jitter_random_(settings.seed ^ 0x6a09e667f3bcc909ULL) {}

    // Takes a datagram that arrived at `now_us`; false when it is lost.
    bool submit(std::span<const uint8_t> datagram, int64_t now_us) {
        ++counters_.received;
        // One loss draw per datagram from a generator of its own, so that which datagrams are
        // lost for a seed does not change with the jitter setting.
        if (unit_(loss_random_) < settings_.loss) {
            ++counters_.dropped;
            return false;
        }
        if (heap_.size() >= settings_.max_queued) {
            ++counters_.overflowed;
            return false;
        }
        int64_t due_us = now_us + settings_.delay_us;
        if (settings_.jitter_us > 0) {
            std::uniform_int_distribution<int64_t> offset(-settings_.jitter_us,
                                                          settings_.jitter_us);
            due_us += offset(jitter_random_);
        }
        // A datagram cannot leave before it arrived.
        due_us = std::max(due_us, now_us);
        heap_.push_back({due_us, next_order_++, {datagram.begin(), datagram.end()}});
        std::push_heap(heap_.begin(), heap_.end(), Later{});
        return true;
    }

    std::optional<int64_t> next_due_us() const {
        if (heap_.empty()) return std::nullopt;
        return heap_.front().due_us;
    }

    // Hands every datagram due by `now_us` to `deliver`, earliest first; datagrams due at the same
    // time leave in arrival order. Returns how many were released.
    template <typename Deliver>
    size_t release_due(int64_t now_us, Deliver&& deliver) {
        size_t released = 0;
        while (!heap_.empty() && heap_.front().due_us <= now_us) {
            std::pop_heap(heap_.begin(), heap_.end(), Later{});
            Entry entry = std::move(heap_.back());
            heap_.pop_back();
            ++counters_.released;
            counters_.bytes_released += entry.bytes.size();
            ++released;
            deliver(std::span<const uint8_t>(entry.bytes));
        }
        return released;
    }

    size_t queued() const { return heap_.size(); }
    const LinkCounters& counters() const { return counters_; }
    const LinkSettings& settings() const { return settings_; }

private:
    struct Entry {
        int64_t due_us;
        uint64_t order;
        std::vector<uint8_t> bytes;
    };
    // Heap order: the entry that is due first (then the one that came first) on top.
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.due_us != b.due_us ? a.due_us > b.due_us : a.order > b.order;
        }
    };

    LinkSettings settings_;
    std::mt19937_64 loss_random_;
    std::mt19937_64 jitter_random_;
    std::uniform_real_distribution<double> unit_{0.0, 1.0};
    std::vector<Entry> heap_;
    uint64_t next_order_ = 0;
    LinkCounters counters_;
};

}  // namespace kelvra::norvane::lossrelay
