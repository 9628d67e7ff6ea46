#include "kelvra/core/keyframe_run.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvra {
namespace {

// Frames written as a string: 'K' a keyframe, 'd' a delta frame, each of 10 bytes; the run is
// what a decoder starting now needs, as the numbers of the frames it holds.
TEST(KeyframeRun, HoldsTheFramesSinceTheLatestKeyframeWithinBothBounds) {
    struct Case {
        const char* frames;
        uint64_t max_bytes;
        size_t max_frames;
        std::vector<int> run;
    };
    const Case cases[] = {
        {"ddKdd", 100, 10, {2, 3, 4}},  // nothing before the first keyframe
        {"KddKd", 100, 10, {3, 4}},     // a keyframe starts over
        {"Kdddd", 100, 4, {}},          // a fifth frame is past the frame bound: all dropped
        {"KddddK", 100, 4, {5}},        // ... until the next keyframe
        {"Kdddddd", 40, 10, {}},        // a fifth frame is past the byte bound
        {"Kddd", 40, 4, {0, 1, 2, 3}},  // both bounds are inclusive
        {"KdKdddd", 30, 10, {}},        // a dropped run stays dropped
    };
    for (const Case& c : cases) {
        KeyframeRun<int> run(c.max_bytes, c.max_frames, 4);
        const std::string frames = c.frames;
        for (size_t i = 0; i < frames.size(); ++i)
            run.add(static_cast<int>(i), frames[i] == 'K', 10);
        EXPECT_EQ(run.frames(), c.run) << c.frames;
        EXPECT_EQ(run.bytes(), 10 * c.run.size()) << c.frames;
    }
}

}  // namespace
}  // namespace kelvra
