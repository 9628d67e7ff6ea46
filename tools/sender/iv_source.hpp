#pragma once

// Nonces for the AES-GCM sections. A nonce must never repeat under one key, so they come from
// the kernel's random generator, drawn in blocks to keep the system calls off the per-datagram
// path.

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvra::norvane::sender {

class IvSource {
public:
    virtual ~IvSource() = default;
    // Writes `size` fresh bytes; false when none could be had.
    virtual bool fill(uint8_t* out, size_t size) = 0;
};

class RandomIvSource final : public IvSource {
public:
    bool fill(uint8_t* out, size_t size) override {
        while (size > 0) {
            if (used_ == pool_.size() && !refill()) return false;
            const size_t n = std::min(size, pool_.size() - used_);
            std::memcpy(out, pool_.data() + used_, n);
            // Spent bytes are wiped so the pool never hands the same nonce out twice.
            std::memset(pool_.data() + used_, 0, n);
            used_ += n;
            out += n;
            size -= n;
        }
        return true;
    }

private:
    bool refill() {
        size_t got = 0;
        while (got < pool_.size()) {
            const ssize_t n = ::getrandom(pool_.data() + got, pool_.size() - got, 0);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            got += static_cast<size_t>(n);
        }
        used_ = 0;
        return true;
    }

    std::array<uint8_t, 4096> pool_{};
    size_t used_ = pool_.size();
};

}  // namespace kelvra::norvane::sender
