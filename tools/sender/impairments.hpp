#pragma once

// A lossy network in front of the socket, decided from a seed so that a test run can be
// repeated exactly: loss of first transmissions and, separately, of resends; duplication;
// bounded reordering; and a fixed one-way delay.

#include <cstdint>

namespace kelvra::norvane::sender {

struct ImpairmentSettings {
    double loss = 0.0;            // probability that a first transmission is lost
    double resend_loss = 0.0;     // probability that a resend is lost
    double duplicate = 0.0;       // probability that a datagram that gets through arrives twice
    uint32_t reorder_window = 0;  // a datagram may be overtaken by at most this many later ones
    int64_t delay_us = 0;         // one-way delay of every datagram
    uint64_t seed = 1;
};

// splitmix64: tiny, fast and identical on every platform, unlike the standard distributions.
class SeededRandom {
public:
    explicit SeededRandom(uint64_t seed) : state_(seed) {}

    uint64_t next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    // Uniform in [0, bound]; draws one value even for a bound of 0.
    uint32_t up_to(uint32_t bound) { return static_cast<uint32_t>(next() % (uint64_t{bound} + 1)); }

private:
    uint64_t state_;
};

// What happens to one datagram on its way.
struct LinkFate {
    uint8_t copies = 1;          // 0 lost, 1 delivered, 2 duplicated
    uint32_t slips[2] = {0, 0};  // positions each copy may fall back by
};

class ImpairmentModel {
public:
    explicit ImpairmentModel(const ImpairmentSettings& settings)
        : settings_(settings), random_(settings.seed) {}

    const ImpairmentSettings& settings() const { return settings_; }

    // Every call draws the same number of values whatever the settings, so the loss pattern of
    // a seed does not change when duplication or reordering is switched on.
    LinkFate decide(bool resend) {
        const double loss_draw = random_.unit();
        const double dup_draw = random_.unit();
        LinkFate fate;
        fate.slips[0] = random_.up_to(settings_.reorder_window);
        fate.slips[1] = random_.up_to(settings_.reorder_window);
        const double loss = resend ? settings_.resend_loss : settings_.loss;
        if (loss_draw < loss)
            fate.copies = 0;
        else if (dup_draw < settings_.duplicate)
            fate.copies = 2;
        return fate;
    }

private:
    ImpairmentSettings settings_;
    SeededRandom random_;
};

}  // namespace kelvra::norvane::sender
