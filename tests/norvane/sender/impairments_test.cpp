#include "sender/impairments.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sender/impaired_link.hpp"

namespace kelvra::norvane::sender {
namespace {

// Submits `count` one-byte datagrams numbered 0.. at `now` and returns what comes out at
// `release_at`, in order.
std::vector<uint8_t> run_burst(ImpairedLink& link, int count, int64_t now, int64_t release_at) {
    for (int i = 0; i < count; ++i) {
        const uint8_t b = static_cast<uint8_t>(i);
        link.submit({&b, 1}, false, now);
    }
    std::vector<uint8_t> out;
    link.release_due(release_at, [&](ConstSlice<uint8_t> d) { out.push_back(d[0]); });
    return out;
}

std::vector<uint8_t> fates(ImpairmentSettings s, int count, bool resend = false) {
    ImpairmentModel model(s);
    std::vector<uint8_t> out;
    for (int i = 0; i < count; ++i) out.push_back(model.decide(resend).copies);
    return out;
}

TEST(Impairments, SeedDecidesTheFatesAndLossIsIndependentOfTheRest) {
    const ImpairmentSettings s{.loss = 0.3, .duplicate = 0.2, .reorder_window = 3, .seed = 42};
    ImpairedLink a(s), b(s);
    EXPECT_EQ(run_burst(a, 200, 0, 0), run_burst(b, 200, 0, 0));
    ImpairmentSettings other = s;
    other.seed = 43;
    EXPECT_NE(fates(s, 500), fates(other, 500));

    // Turning on duplication and reordering must not change which datagrams are lost.
    const auto with = fates(s, 1000), without = fates({.loss = 0.3, .seed = 42}, 1000);
    for (size_t i = 0; i < with.size(); ++i) EXPECT_EQ(with[i] == 0, without[i] == 0) << i;
    EXPECT_GT(std::count(without.begin(), without.end(), 0), 200);

    // First transmissions and resends are lost separately.
    EXPECT_EQ(fates({.loss = 1.0}, 100, true), std::vector<uint8_t>(100, 1));
    EXPECT_EQ(fates({.resend_loss = 1.0}, 100, false), std::vector<uint8_t>(100, 1));
    EXPECT_EQ(fates({.resend_loss = 1.0}, 100, true), std::vector<uint8_t>(100, 0));
}

TEST(ImpairedLink, ReorderingIsBoundedByTheWindowAndLosesNothing) {
    for (const uint32_t window : {0u, 1u, 16u}) {
        SCOPED_TRACE(window);
        ImpairedLink link({.reorder_window = window, .seed = window});
        const auto out = run_burst(link, 200, 0, 0);
        bool reordered = false;
        // A datagram is overtaken only by datagrams at most `window` positions behind it.
        for (size_t i = 0; i < out.size(); ++i) {
            for (size_t j = i + 1; j < out.size(); ++j) {
                if (out[j] >= out[i]) continue;
                reordered = true;
                EXPECT_LE(out[i] - out[j], static_cast<int>(window));
            }
        }
        EXPECT_EQ(reordered, window > 0);
        auto sorted = out;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted.size(), 200u);
        for (int i = 0; i < 200; ++i) EXPECT_EQ(sorted[i], i) << "nothing lost or doubled";
    }
}

TEST(ImpairedLink, DuplicatesAndWholeDatagrams) {
    ImpairedLink dup({.duplicate = 1.0});
    EXPECT_EQ(run_burst(dup, 2, 0, 0), (std::vector<uint8_t>{0, 0, 1, 1}));
    EXPECT_EQ(dup.duplicated(), 2u);

    ImpairedLink clean(ImpairmentSettings{});
    std::vector<uint8_t> big(kMaxDatagramSize);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(clean.submit({big.data(), big.size()}, false, 0), 1);
    std::vector<uint8_t> got;
    clean.release_due(0, [&](ConstSlice<uint8_t> d) { got.assign(d.begin(), d.end()); });
    EXPECT_EQ(got, big);
    EXPECT_EQ(clean.submit({big.data(), kMaxDatagramSize + 1}, false, 0), 0) << "refused, not cut";
}

}  // namespace
}  // namespace kelvra::norvane::sender
