// Seeded random streams: shuffled, duplicated, lost and late fragments with retransmissions
// answered by a simulated sender. Meant for the sanitizer build too. Arbitrary fragments are
// the video datagram fuzzer's.

#include <map>
#include <queue>
#include <random>

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter::testing {
namespace {

class SimulatedSender {
public:
    explicit SimulatedSender(uint32_t seed) : rng_(seed) {
        const auto base = static_cast<uint32_t>(uniform(0, 100'000));
        for (uint32_t i = 0; i < 300; ++i) {
            std::optional<Items> items;
            if (chance(0.2)) items = Items(uniform(0, 5), detection_item{1, 2, 3, 4, 5, 6});
            const SentFrame& frame =
                frames_
                    .try_emplace(base + i, base + i, uniform(10, 40) * 1400 - uniform(0, 1399),
                                 i % 30 == 0, items)
                    .first->second;
            // A frame now and then arrives late as a whole, after the next one began: a restart.
            const int64_t sent = i * 33'333 + (chance(0.005) ? 50'000 : 0);
            for (uint16_t id = 0; id < frame.fragments(); ++id) {
                if (chance(0.03)) continue;  // lost until requested
                schedule(sent + uniform(0, 10'000) + (chance(0.05) ? uniform(50'000, 150'000) : 0),
                         frame.seq, id);
                if (chance(0.05)) schedule(sent + uniform(0, 200'000), frame.seq, id);
            }
        }
    }

    // Plays the stream with a main-loop pass every 2 ms; returns the number of frames released.
    int run(JitterBuffer& buffer, ManualClock& clock, const LogCapture& log) {
        const int64_t start = clock.now_us();
        uint32_t control_seq = 0;
        for (int64_t pass = 0; pass < 12'000'000; pass += 2'000) {
            for (; !arrivals_.empty() && arrivals_.top().first <= pass; arrivals_.pop()) {
                clock.set(start + arrivals_.top().first);
                frames_.at(arrivals_.top().second.first)
                    .push(buffer, arrivals_.top().second.second);
                buffer.update_roundtrip(control(++control_seq, 10'000, uniform(15'000, 60'000)));
            }
            clock.set(start + pass);
            for (const auto& request : buffer.get_retransmit_requests(50)) {
                EXPECT_TRUE(frames_.count(request.sequence_number));
                if (chance(0.6)) {
                    schedule(pass + uniform(10'000, 40'000), request.sequence_number,
                             static_cast<uint16_t>(request.fragment_id));
                }
            }
            if (const int restarts = log.count_starting("warning Stream restart");
                restarts != restarts_) {
                restarts_ = restarts;  // numbers start over for the order check
                last_released_.reset();
            }
            for (const Frame& frame : buffer.get_frames_to_show()) check_release(frame);
        }
        return released_;
    }

private:
    void check_release(const Frame& frame) {
        const SentFrame& sent = frames_.at(frame.sequence_number);
        if (last_released_) {
            EXPECT_GT(frame.sequence_number, *last_released_);
        }
        last_released_ = frame.sequence_number;
        EXPECT_EQ(frame.keyframe, sent.keyframe);
        EXPECT_EQ(frame_bytes(frame), sent.bytes) << frame.sequence_number;
        EXPECT_EQ(frame.detections, sent.detections.value_or(Items{}));
        ++released_;
    }
    void schedule(int64_t time, uint32_t seq, uint16_t id) { arrivals_.push({time, {seq, id}}); }
    uint64_t uniform(uint64_t lo, uint64_t hi) {
        return std::uniform_int_distribution<uint64_t>(lo, hi)(rng_);
    }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    using Arrival = std::pair<int64_t, std::pair<uint32_t, uint16_t>>;
    std::mt19937 rng_;
    std::map<uint32_t, SentFrame> frames_;
    std::priority_queue<Arrival, std::vector<Arrival>, std::greater<>> arrivals_;
    int restarts_ = 0;
    int released_ = 0;
    std::optional<uint32_t> last_released_;
};

TEST(JitterProperty, DisorderedLossyStreamReleasesExactFramesInOrder) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        LogCapture log(spdlog::level::warn);
        ManualClock clock;
        JitterBuffer buffer{JitterBufferLogger{}, clock};
        EXPECT_GT(SimulatedSender(seed).run(buffer, clock, log), 50);  // the stream does not stall
    }
}

}  // namespace
}  // namespace kelvra::norvane::jitter::testing
