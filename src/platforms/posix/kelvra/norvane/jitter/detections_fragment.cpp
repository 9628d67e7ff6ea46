#include "kelvra/norvane/jitter/detections_fragment.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "kelvra/norvane/jitter/constants.hpp"

namespace kelvra::norvane::jitter {
namespace {

using msgs::video::detection_item;

constexpr uint64_t kCountSize = 4;  // bytes

}  // namespace

std::optional<uint32_t> detections_count(ConstSlice<uint8_t> fragment) {
    if (fragment.size < kCountSize) return std::nullopt;
    const auto count = messgen::load_le<uint32_t>(fragment.data);
    if (count > kMaxDetections) return std::nullopt;
    return count;
}

void append_detections(ConstSlice<uint8_t> fragment, uint32_t count,
                       std::vector<detection_item>& out) {
    std::array<uint8_t, detection_item::WIRE_SIZE> item_bytes{};
    const uint64_t available = fragment.size - std::min(fragment.size, kCountSize);
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t offset = uint64_t{i} * detection_item::WIRE_SIZE;
        const uint64_t present =
            offset < available ? std::min<uint64_t>(available - offset, item_bytes.size()) : 0;
        item_bytes.fill(0);
        if (present != 0)
            std::memcpy(item_bytes.data(), fragment.data + kCountSize + offset, present);
        messgen::Reader reader(item_bytes.data(), item_bytes.size());
        detection_item item;
        item.read(reader);
        out.push_back(item);
    }
}

}  // namespace kelvra::norvane::jitter
