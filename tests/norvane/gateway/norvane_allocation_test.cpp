// The datagram path must not allocate per datagram: once a frame's buffer exists, its further
// fragments are received, decrypted, stored and answered without touching the heap.

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "support/gateway_harness.hpp"
#include "support/video_datagram_builder.hpp"

namespace {
std::atomic<bool> counting{false};
std::atomic<size_t> allocations{0};
}  // namespace

// Replacements of the global allocation functions, counting while a test asks for it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace kelvra {
namespace {

TEST(GatewayAllocation, FragmentsOfAKnownFrameAreHandledWithoutAllocating) {
    testing::GatewayHarness h;
    const uint8_t key[16] = {3};
    h.announce(0x42, 0, key);
    spdlog::set_level(spdlog::level::info);
    spdlog::get("Norvane")->set_level(spdlog::level::info);

    constexpr uint16_t kFragments = 8;
    std::vector<std::vector<uint8_t>> datagrams;
    for (uint16_t i = 0; i < kFragments; ++i) {
        msgs::video::control_data control;
        control.sequence_number = i + 1;
        control.minimal_roundtrip = 10'000;
        control.maximum_roundtrip = 20'000;
        msgs::video::video_fragment_info info;
        info.sequence_number = 7;
        info.fragment_id = i;
        info.fragments_number = kFragments + 1;  // the frame stays incomplete
        datagrams.push_back(testing::seal_video_datagram(0x42, 0, key, control, info,
                                                         std::vector<uint8_t>(1400, 0x5A)));
    }
    h.deliver(datagrams[0]);  // creates the frame's record and buffer

    allocations = 0;
    counting = true;
    for (uint16_t i = 1; i < kFragments; ++i) h.deliver(datagrams[i]);
    counting = false;
    EXPECT_EQ(allocations.load(), 0u);
    EXPECT_EQ(h.sender_inbox().size(), kFragments);  // every datagram was answered
}

}  // namespace
}  // namespace kelvra
