// The sender's per-frame send-time file, written by the built binary.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/process_runner.hpp"

namespace kelvra::norvane::sender {
namespace {

int64_t wall_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::vector<std::string> args_to_nowhere(const std::string& frame_times) {
    return {"--gateway",
            "127.0.0.1:" + std::to_string(kelvra::testing::free_udp_port()),
            "--encode",
            "vp8",
            "--frames",
            "6",
            "--fps",
            "50",
            "--keyframe-interval",
            "3",
            "--linger-ms",
            "0",
            "--frame-times",
            frame_times};
}

TEST(SenderFrameTimes, OneLinePerFrameWithItsWallClockSendTimeAndKeyframeFlag) {
    if (access(NORVANE_SENDER_BINARY, X_OK) != 0) GTEST_SKIP() << "norvane-sender is not built";
    const auto path = std::filesystem::temp_directory_path() /
                      ("norvane-frame-times-" + std::to_string(getpid()) + ".txt");
    const int64_t before = wall_us();
    const auto result =
        kelvra::testing::run_process(NORVANE_SENDER_BINARY, args_to_nowhere(path.string()));
    const int64_t after = wall_us();
    ASSERT_TRUE(result.status && result.status->exited_with(0)) << result.err;

    std::ifstream in(path);
    std::vector<int64_t> times;
    uint32_t frame = 0;
    int64_t sent_us = 0;
    int keyframe = 0;
    while (in >> frame >> sent_us >> keyframe) {
        EXPECT_EQ(frame, times.size());
        EXPECT_EQ(keyframe, frame % 3 == 0 ? 1 : 0) << "frame " << frame;
        EXPECT_GE(sent_us, before);
        EXPECT_LE(sent_us, after);
        if (!times.empty()) {
            EXPECT_GE(sent_us, times.back());
        }
        times.push_back(sent_us);
    }
    std::filesystem::remove(path);
    ASSERT_EQ(times.size(), 6u);
    // Paced at 50 frames per second: five periods of 20 ms between the first and the last.
    EXPECT_GE(times.back() - times.front(), 90'000);
}

}  // namespace
}  // namespace kelvra::norvane::sender
