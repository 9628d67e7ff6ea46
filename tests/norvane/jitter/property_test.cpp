// Seeded random streams: shuffled, duplicated, lost and late fragments, retransmissions answered
// by a simulated sender, and arbitrary fragments. Run under the sanitizers as well.

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <map>
#include <mutex>
#include <queue>
#include <random>

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter {
namespace {

using namespace testing;

// Counts restart warnings; everything else logged is dropped.
class RestartCounter : public spdlog::sinks::base_sink<std::mutex> {
public:
    int restarts = 0;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        if (std::string_view(msg.payload.data(), msg.payload.size())
                .starts_with("Stream restart")) {
            ++restarts;
        }
    }
    void flush_() override {}
};

struct Arrival {
    int64_t time;
    uint64_t order;  // ties keep their creation order
    uint32_t seq;
    uint16_t id;
    bool operator>(const Arrival& o) const {
        return std::tie(time, order) > std::tie(o.time, o.order);
    }
};

class SimulatedStream {
public:
    explicit SimulatedStream(uint32_t seed) : rng_(seed) {
        const uint32_t base = std::uniform_int_distribution<uint32_t>(0, 100'000)(rng_);
        for (uint32_t i = 0; i < kFrames; ++i) {
            const uint32_t seq = base + i;
            const uint64_t size = uniform(10, 40) * 1400 - uniform(0, 1399);
            SentFrame& frame =
                frames_.emplace(seq, SentFrame(seq, size, i % 30 == 0)).first->second;
            if (chance(0.2)) {
                frame.attach(
                    std::vector<detection_item>(uniform(0, 5), detection_item{1, 2, 3, 4, 5, 6}));
            }
            // Now and then a whole frame overtakes nothing but is overtaken: a restart.
            const int64_t sent = int64_t{i} * 33'333 + (chance(0.005) ? 50'000 : 0);
            for (uint16_t id = 0; id < frame.fragments(); ++id) {
                if (chance(0.03)) continue;  // lost unless requested
                const bool late = chance(0.05);
                schedule(sent + uniform(0, 10'000) + (late ? uniform(50'000, 150'000) : 0), seq,
                         id);
                if (chance(0.05)) schedule(sent + uniform(0, 200'000), seq, id);
            }
        }
    }

    // Plays the stream against the buffer, one main-loop pass every 2 ms.
    void run(JitterBuffer& buffer, ManualClock& clock, const RestartCounter& restarts) {
        const int64_t start = clock.now_us();
        int64_t next_pass = 0;
        uint32_t control_seq = 0;
        while (!arrivals_.empty()) {
            const Arrival a = arrivals_.top();
            while (next_pass <= a.time) {
                clock.set(start + next_pass);
                pass(buffer, next_pass, restarts.restarts);
                next_pass += 2'000;
            }
            arrivals_.pop();
            clock.set(start + a.time);
            frames_.at(a.seq).push(buffer, a.id);
            buffer.update_roundtrip(control(++control_seq, 10'000, uniform(15'000, 60'000)));
        }
        for (int i = 0; i < 200; ++i, next_pass += 2'000) {
            clock.set(start + next_pass);
            pass(buffer, next_pass, restarts.restarts);
        }
    }

    uint32_t released = 0;

private:
    static constexpr uint32_t kFrames = 300;

    void pass(JitterBuffer& buffer, int64_t now, int restarts) {
        for (const auto& request : buffer.get_retransmit_requests(50)) {
            ASSERT_TRUE(frames_.count(request.sequence_number));
            if (chance(0.6))
                schedule(now + uniform(10'000, 40'000), request.sequence_number,
                         static_cast<uint16_t>(request.fragment_id));
        }
        if (restarts != restarts_seen_) {
            restarts_seen_ = restarts;
            last_released_.reset();
        }
        for (const Frame& frame : buffer.get_frames_to_show()) {
            const auto sent = frames_.find(frame.sequence_number);
            ASSERT_NE(sent, frames_.end());
            if (last_released_) {
                ASSERT_GT(frame.sequence_number, *last_released_);
            }
            last_released_ = frame.sequence_number;
            EXPECT_EQ(frame.keyframe, sent->second.keyframe);
            ASSERT_EQ(frame_bytes(frame), sent->second.bytes) << frame.sequence_number;
            EXPECT_EQ(frame.detections, sent->second.detections);
            ++released;
        }
    }

    void schedule(int64_t time, uint32_t seq, uint16_t id) {
        arrivals_.push({time, order_++, seq, id});
    }
    uint64_t uniform(uint64_t lo, uint64_t hi) {
        return std::uniform_int_distribution<uint64_t>(lo, hi)(rng_);
    }
    bool chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    std::mt19937 rng_;
    std::map<uint32_t, SentFrame> frames_;
    std::priority_queue<Arrival, std::vector<Arrival>, std::greater<>> arrivals_;
    uint64_t order_ = 0;
    int restarts_seen_ = 0;
    std::optional<uint32_t> last_released_;
};

class JitterProperty : public ::testing::Test {
protected:
    JitterProperty() : previous_(spdlog::default_logger()) {
        auto logger = std::make_shared<spdlog::logger>("jitter-property", counter_);
        logger->set_level(spdlog::level::warn);
        spdlog::set_default_logger(logger);
    }
    ~JitterProperty() override { spdlog::set_default_logger(previous_); }

    std::shared_ptr<RestartCounter> counter_ = std::make_shared<RestartCounter>();
    std::shared_ptr<spdlog::logger> previous_;
};

TEST_F(JitterProperty, DisorderedLossyStreamReleasesExactFramesInOrder) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        ManualClock clock;
        JitterBuffer buffer{JitterBufferLogger{}, clock};
        SimulatedStream stream(seed);
        stream.run(buffer, clock, *counter_);
        EXPECT_GT(stream.released, 50u);  // the stream does not stall
    }
}

TEST_F(JitterProperty, ArbitraryFragmentsNeverBreakTheBuffer) {
    std::mt19937 rng(7);
    auto uniform = [&](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    ManualClock clock;
    JitterBuffer buffer{JitterBufferLogger{}, clock};
    std::vector<uint8_t> data(1407);
    uint64_t checksum = 0;
    for (int i = 0; i < 20'000; ++i) {
        for (uint8_t& b : data) b = static_cast<uint8_t>(uniform(0, 255));
        const uint32_t length = uniform(0, 1407);
        if (uniform(0, 3) == 0) messgen::store_le<uint32_t>(data.data(), uniform(0, 130));
        video_fragment_info info;
        info.sequence_number = uniform(0, 40) + (i / 2000) * 20;
        info.fragments_number = static_cast<uint16_t>(uniform(0, 4));
        info.fragment_id = static_cast<uint16_t>(uniform(0, 5));
        info.type = static_cast<uint8_t>(uniform(0, 7));
        buffer.push_fragment(info, {data.data(), length});
        buffer.update_roundtrip(control(uniform(0, 50), uniform(0, 5000), uniform(0, 5000)));
        clock.advance(uniform(0, 20'000));
        if (i % 3 == 0) buffer.get_retransmit_requests(50);
        for (const Frame& frame : buffer.get_frames_to_show()) {
            ASSERT_LE(frame.size, 4u * 1400);
            ASSERT_LE(frame.detections.size(), 125u);
            for (uint32_t b = 0; b < frame.size; ++b)
                checksum += frame.data[b];  // every byte readable
        }
    }
    EXPECT_GT(counter_->restarts, 0);
    EXPECT_GT(checksum, 0u);
}

}  // namespace
}  // namespace kelvra::norvane::jitter
