#include "kelvra/norvane/webrtc/detections_message.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kelvra::norvane {
namespace {

using msgs::video::detection_item;

std::string text_of(uint32_t rtp_timestamp, std::vector<detection_item> items) {
    std::string out = "left over from the previous frame";
    write_detections_json(rtp_timestamp, {items.data(), static_cast<uint32_t>(items.size())}, out);
    return out;
}

// Viewers read the keys in this order and tell "no detections" by null, not by [].
TEST(DetectionsMessage, KeysInFixedOrderAndNullWithoutDetections) {
    EXPECT_EQ(text_of(90000, {}), R"({"det":null,"t":90000})");
    EXPECT_EQ(text_of(90000, {{10, 20, 30, 40, 7, 1}}),
              R"({"det":[{"h":40,"i":7,"t":1,"w":30,"x":10,"y":20}],"t":90000})");
    EXPECT_EQ(text_of(4294967295u, {{1, 2, 3, 4, 5, 255}, {65535, 0, 0, 65535, 65535, 0}}),
              R"({"det":[{"h":4,"i":5,"t":255,"w":3,"x":1,"y":2},)"
              R"({"h":65535,"i":65535,"t":0,"w":0,"x":65535,"y":0}],"t":4294967295})");
}

}  // namespace
}  // namespace kelvra::norvane
