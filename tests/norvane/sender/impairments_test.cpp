#include "../../../tools/sender/impairments.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "../../../tools/sender/impaired_link.hpp"

namespace kelvra::norvane::sender {
namespace {

// Submits `count` one-byte datagrams numbered 0.. at `now` and returns what comes out at
// `release_at`, in order.
std::vector<uint8_t> run_burst(ImpairedLink& link, int count, int64_t now, int64_t release_at,
                               bool resend = false) {
    for (int i = 0; i < count; ++i) {
        const uint8_t b = static_cast<uint8_t>(i);
        link.submit({&b, 1}, resend, now);
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

TEST(Impairments, SameSeedSameFatesOtherSeedOthers) {
    ImpairmentSettings s;
    s.loss = 0.3;
    s.duplicate = 0.2;
    s.reorder_window = 3;
    s.seed = 42;
    EXPECT_EQ(fates(s, 500, false), fates(s, 500, false));
    ImpairedLink a(s), b(s);
    EXPECT_EQ(run_burst(a, 200, 0, 0), run_burst(b, 200, 0, 0));
    s.seed = 43;
    ImpairmentSettings s42 = s;
    s42.seed = 42;
    EXPECT_NE(fates(s, 500), fates(s42, 500));
}

TEST(Impairments, RatesFollowTheProbabilities) {
    ImpairmentSettings s;
    s.loss = 0.1;
    s.duplicate = 0.05;
    const auto f = fates(s, 20000);
    const auto lost = std::count(f.begin(), f.end(), 0);
    const auto doubled = std::count(f.begin(), f.end(), 2);
    EXPECT_NEAR(lost / 20000.0, 0.1, 0.01);
    EXPECT_NEAR(doubled / 20000.0, 0.9 * 0.05, 0.01);
    s.loss = 0.0;
    s.duplicate = 0.0;
    const auto clean = fates(s, 1000);
    EXPECT_EQ(std::count(clean.begin(), clean.end(), 1), 1000);
    s.loss = 1.0;
    const auto all_lost = fates(s, 1000);
    EXPECT_EQ(std::count(all_lost.begin(), all_lost.end(), 0), 1000);
}

TEST(Impairments, LossOfFirstTransmissionsAndOfResendsAreSeparate) {
    ImpairmentSettings s;
    s.loss = 1.0;
    const auto resends = fates(s, 200, true);
    EXPECT_EQ(std::count(resends.begin(), resends.end(), 1), 200) << "resends get through";
    s.loss = 0.0;
    s.resend_loss = 1.0;
    const auto firsts = fates(s, 200, false);
    EXPECT_EQ(std::count(firsts.begin(), firsts.end(), 1), 200);
    const auto lost_resends = fates(s, 200, true);
    EXPECT_EQ(std::count(lost_resends.begin(), lost_resends.end(), 0), 200);
}

TEST(Impairments, LossPatternDoesNotDependOnDuplicationOrReordering) {
    ImpairmentSettings s;
    s.loss = 0.25;
    s.seed = 7;
    const auto plain = fates(s, 1000);
    s.duplicate = 0.5;
    s.reorder_window = 8;
    const auto busy = fates(s, 1000);
    for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(plain[i] == 0, busy[i] == 0) << i;
}

TEST(ImpairedLink, CleanLinkKeepsOrderAndCountsNothing) {
    ImpairedLink link(ImpairmentSettings{});
    const auto out = run_burst(link, 50, 100, 100);
    ASSERT_EQ(out.size(), 50u);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(out[i], i);
    EXPECT_EQ(link.dropped(), 0u);
    EXPECT_EQ(link.duplicated(), 0u);
    EXPECT_EQ(link.queued(), 0u);
}

TEST(ImpairedLink, ReorderingIsBoundedByTheWindow) {
    for (const uint32_t window : {1u, 4u, 16u}) {
        SCOPED_TRACE(window);
        ImpairmentSettings s;
        s.reorder_window = window;
        s.seed = window;
        ImpairedLink link(s);
        const auto out = run_burst(link, 200, 0, 0);
        ASSERT_EQ(out.size(), 200u);
        bool reordered = false;
        // A datagram is overtaken only by datagrams at most `window` positions behind it.
        for (size_t i = 0; i < out.size(); ++i) {
            for (size_t j = i + 1; j < out.size(); ++j) {
                if (out[j] < out[i]) {
                    reordered = true;
                    EXPECT_LE(out[i] - out[j], static_cast<int>(window));
                }
            }
        }
        EXPECT_TRUE(reordered);
        auto sorted = out;
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i < 200; ++i) EXPECT_EQ(sorted[i], i) << "nothing lost or doubled";
    }
}

TEST(ImpairedLink, DelayHoldsEveryDatagramIncludingResends) {
    ImpairmentSettings s;
    s.delay_us = 25'000;
    ImpairedLink link(s);
    EXPECT_TRUE(run_burst(link, 3, 1'000, 25'999).empty());
    EXPECT_EQ(link.next_due_us(), 26'000);
    const uint8_t r = 99;
    link.submit({&r, 1}, true, 10'000);
    std::vector<uint8_t> out;
    link.release_due(26'000, [&](ConstSlice<uint8_t> d) { out.push_back(d[0]); });
    EXPECT_EQ(out, (std::vector<uint8_t>{0, 1, 2}));
    EXPECT_EQ(link.next_due_us(), 35'000);
    link.release_due(35'000, [&](ConstSlice<uint8_t> d) { out.push_back(d[0]); });
    EXPECT_EQ(out.back(), 99);
    EXPECT_FALSE(link.next_due_us());
}

TEST(ImpairedLink, DuplicatesArriveTwiceAndLossesNever) {
    ImpairmentSettings s;
    s.duplicate = 1.0;
    ImpairedLink dup(s);
    EXPECT_EQ(run_burst(dup, 3, 0, 0), (std::vector<uint8_t>{0, 0, 1, 1, 2, 2}));
    EXPECT_EQ(dup.duplicated(), 3u);

    s.duplicate = 0.0;
    s.loss = 0.5;
    s.seed = 3;
    ImpairedLink lossy(s);
    const auto out = run_burst(lossy, 100, 0, 0);
    EXPECT_EQ(out.size() + lossy.dropped(), 100u);
    EXPECT_GT(lossy.dropped(), 20u);
}

TEST(ImpairedLink, KeepsWholeDatagramsAndReusesItsSlots) {
    ImpairedLink link(ImpairmentSettings{});
    std::vector<uint8_t> big(kMaxDatagramSize);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i);
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(link.submit({big.data(), big.size()}, false, 0), 1);
        std::vector<uint8_t> got;
        link.release_due(0, [&](ConstSlice<uint8_t> d) { got.assign(d.begin(), d.end()); });
        EXPECT_EQ(got, big);
    }
    EXPECT_EQ(link.submit({big.data(), kMaxDatagramSize + 1}, false, 0), 0) << "refused, not cut";
}

}  // namespace
}  // namespace kelvra::norvane::sender
