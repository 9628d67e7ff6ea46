#pragma once

// Holds sealed datagrams between the sender and its socket: each one is lost, passed or
// duplicated as the impairment model decides, then waits out the one-way delay. Datagrams that
// fall due together leave in the order of their slipped positions, which reorders each burst by
// at most the reorder window.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "impairments.hpp"
#include "kelvra/core/slice.hpp"
#include "kelvra/msgs/video/video_datagram.hpp"

namespace kelvra::norvane::sender {

using msgs::video::kMaxDatagramSize;

class ImpairedLink {
public:
    explicit ImpairedLink(const ImpairmentSettings& settings, size_t reserve = 256)
        : model_(settings) {
        heap_.reserve(reserve);
        free_.reserve(reserve);
    }

    // Queues the datagram's surviving copies; returns how many (0 when it was lost).
    uint8_t submit(ConstSlice<uint8_t> datagram, bool resend, int64_t now_us) {
        if (datagram.size > kMaxDatagramSize) return 0;
        const LinkFate fate = model_.decide(resend);
        if (fate.copies == 0) ++dropped_;
        if (fate.copies == 2) ++duplicated_;
        for (uint8_t c = 0; c < fate.copies; ++c) {
            const uint32_t slot = take_slot();
            std::memcpy(slots_[slot].bytes.data(), datagram.data, datagram.size);
            slots_[slot].size = datagram.size;
            const uint64_t index = next_index_++;
            heap_.push_back(
                Entry{now_us + model_.settings().delay_us, index + fate.slips[c], index, slot});
            std::push_heap(heap_.begin(), heap_.end(), later);
        }
        // Positions count every datagram, lost ones too, as they would on the wire.
        if (fate.copies == 0) ++next_index_;
        return fate.copies;
    }

    std::optional<int64_t> next_due_us() const {
        if (heap_.empty()) return std::nullopt;
        return heap_.front().due_us;
    }

    // Hands every datagram due at `now_us` to `send(ConstSlice<uint8_t>)`, in release order.
    template <typename Send>
    size_t release_due(int64_t now_us, Send&& send) {
        size_t released = 0;
        while (!heap_.empty() && heap_.front().due_us <= now_us) {
            std::pop_heap(heap_.begin(), heap_.end(), later);
            const Entry entry = heap_.back();
            heap_.pop_back();
            const Slot& slot = slots_[entry.slot];
            send(ConstSlice<uint8_t>{slot.bytes.data(), slot.size});
            free_.push_back(entry.slot);
            ++released;
        }
        return released;
    }

    size_t queued() const { return heap_.size(); }
    uint64_t dropped() const { return dropped_; }
    uint64_t duplicated() const { return duplicated_; }

private:
    struct Slot {
        std::array<uint8_t, kMaxDatagramSize> bytes;
        size_t size = 0;
    };
    struct Entry {
        int64_t due_us;
        uint64_t position;  // submit index plus slip
        uint64_t index;     // submit index
        uint32_t slot;
    };
    // Heap order: the earliest due, then the lowest position, at the front. On equal positions
    // the later datagram goes first: the earlier one is the one that slipped back to there, so a
    // datagram that slips by s is overtaken by up to s datagrams.
    static bool later(const Entry& a, const Entry& b) {
        if (a.due_us != b.due_us) return a.due_us > b.due_us;
        if (a.position != b.position) return a.position > b.position;
        return a.index < b.index;
    }

    uint32_t take_slot() {
        if (!free_.empty()) {
            const uint32_t slot = free_.back();
            free_.pop_back();
            return slot;
        }
        slots_.emplace_back();
        return static_cast<uint32_t>(slots_.size() - 1);
    }

    ImpairmentModel model_;
    std::deque<Slot> slots_;  // stable addresses; grows only while the queue is deeper than ever
    std::vector<uint32_t> free_;
    std::vector<Entry> heap_;
    uint64_t next_index_ = 0;
    uint64_t dropped_ = 0;
    uint64_t duplicated_ = 0;
};

}  // namespace kelvra::norvane::sender
