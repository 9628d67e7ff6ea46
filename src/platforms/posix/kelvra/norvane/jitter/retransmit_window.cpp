#include "kelvra/norvane/jitter/retransmit_window.hpp"

#include "kelvra/norvane/jitter/constants.hpp"

namespace kelvra::norvane::jitter {

void RetransmitWindow::expire(int64_t now) {
    const uint64_t mask = ring_.size() - 1;
    while (size_ != 0 && ring_[head_].time + kRetransmitBudgetWindowUs < now) {
        requests_ -= ring_[head_].count;
        head_ = (head_ + 1) & mask;
        --size_;
    }
}

void RetransmitWindow::push(int64_t time, uint32_t count) {
    if (size_ == ring_.size()) grow();
    ring_[(head_ + size_) & (ring_.size() - 1)] = Entry{time, count};
    ++size_;
    requests_ += count;
}

void RetransmitWindow::grow() {
    std::vector<Entry> bigger(ring_.empty() ? 256 : ring_.size() * 2);
    for (uint64_t i = 0; i < size_; ++i) bigger[i] = ring_[(head_ + i) & (ring_.size() - 1)];
    ring_.swap(bigger);
    head_ = 0;
}

}  // namespace kelvra::norvane::jitter
