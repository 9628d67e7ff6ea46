#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace kelvra::norvane::jitter {

// Finds the record of a frame number without walking the pending records. Frame numbers are
// unique among pending records. Kept sorted by frame number; new numbers are nearly always the
// highest so far, which makes insertion an append, and the storage is reused once it has grown.
template <typename Iterator>
class FrameIndex {
public:
    std::optional<Iterator> find(uint32_t sequence_number) const {
        const auto pos = lower_bound(sequence_number);
        if (pos == entries_.end() || pos->first != sequence_number) return std::nullopt;
        return pos->second;
    }

    void insert(uint32_t sequence_number, Iterator it) {
        entries_.emplace(lower_bound(sequence_number), sequence_number, it);
    }

    void erase(uint32_t sequence_number) {
        const auto pos = lower_bound(sequence_number);
        if (pos != entries_.end() && pos->first == sequence_number) entries_.erase(pos);
    }

    void clear() { entries_.clear(); }
    uint64_t size() const { return entries_.size(); }

private:
    using Entry = std::pair<uint32_t, Iterator>;

    typename std::vector<Entry>::const_iterator lower_bound(uint32_t sequence_number) const {
        return std::lower_bound(
            entries_.begin(), entries_.end(), sequence_number,
            [](const Entry& entry, uint32_t number) { return entry.first < number; });
    }

    std::vector<Entry> entries_;
};

}  // namespace kelvra::norvane::jitter
