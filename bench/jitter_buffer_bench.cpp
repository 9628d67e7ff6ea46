// Cost of the jitter buffer on a realistic stream: 30 frames per second of 10 to 40 fragments,
// with 0 % or 10 % of the fragments arriving 100 ms late (as retransmissions would), and the
// per-stream calls of every main-loop pass. The jitter log is closed, as it is by default.

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

#include "kelvra/core/time.hpp"
#include "kelvra/norvane/jitter/jitter_buffer.hpp"

namespace {

using kelvra::JitterBuffer;
using kelvra::JitterBufferLogger;
using kelvra::ManualClock;
using kelvra::msgs::video::control_data;
using kelvra::msgs::video::video_fragment_info;

constexpr int64_t kFrameIntervalUs = 33'333;
constexpr int64_t kLoopPassUs = 2'000;  // the main loop's poll time-out
constexpr int64_t kLateUs = 100'000;
constexpr uint64_t kFragmentSize = 1400;

struct Arrival {
    int64_t time;
    video_fragment_info info;
    uint32_t size;
};

// Ten seconds of one stream, in arrival order.
struct Stream {
    std::vector<Arrival> arrivals;
    std::vector<uint8_t> payload = std::vector<uint8_t>(kFragmentSize, 0x5a);
    control_data control;

    Stream(int loss_percent, uint32_t frames = 300) {
        std::mt19937 rng(42);
        std::uniform_int_distribution<int> fragments(10, 40);
        std::uniform_int_distribution<int> percent(0, 99);
        for (uint32_t seq = 1; seq <= frames; ++seq) {
            const auto n = static_cast<uint16_t>(fragments(rng));
            const int64_t sent = seq * kFrameIntervalUs;
            for (uint16_t id = 0; id < n; ++id) {
                video_fragment_info info;
                info.sequence_number = seq;
                info.fragment_id = id;
                info.fragments_number = n;
                info.type = seq % 30 == 1 ? video_fragment_info::KEYFRAME : 0;
                const bool late = id != 0 && percent(rng) < loss_percent;
                const int64_t at = sent + id * 100 + (late ? kLateUs : 0);
                arrivals.push_back({at, info, id + 1u == n ? 700u : uint32_t{kFragmentSize}});
            }
        }
        std::stable_sort(arrivals.begin(), arrivals.end(),
                         [](const Arrival& a, const Arrival& b) { return a.time < b.time; });
        control.minimal_roundtrip = 20'000;
        control.maximum_roundtrip = 50'000;
    }

    void push(JitterBuffer& buffer, const Arrival& a) {
        buffer.push_fragment(a.info, {payload.data(), a.size});
        control.sequence_number = a.info.sequence_number;
        buffer.update_roundtrip(control);
    }
};

void loop_pass(JitterBuffer& buffer) {
    auto requests = buffer.get_retransmit_requests(50);
    auto frames = buffer.get_frames_to_show();
    benchmark::DoNotOptimize(requests.data());
    benchmark::DoNotOptimize(frames.data());
}

void quiet_logs() {
    spdlog::set_level(spdlog::level::info);
}

// Fragments pushed with one loop pass per frame interval: the cost of assembly itself.
void BM_PushFragments(benchmark::State& state) {
    quiet_logs();
    Stream stream(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        ManualClock clock(0);
        JitterBuffer buffer(JitterBufferLogger{}, clock);
        int64_t next_pass = kFrameIntervalUs;
        for (const Arrival& a : stream.arrivals) {
            if (a.time >= next_pass) {
                loop_pass(buffer);
                next_pass += kFrameIntervalUs;
            }
            clock.set(a.time);
            stream.push(buffer, a);
        }
    }
    state.counters["per_fragment"] = benchmark::Counter(
        static_cast<double>(stream.arrivals.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_PushFragments)->Arg(0)->Arg(10)->Unit(benchmark::kMillisecond);

// The main loop as it runs: a pass after every datagram and at least every 2 ms.
void BM_MainLoop(benchmark::State& state) {
    quiet_logs();
    Stream stream(static_cast<int>(state.range(0)));
    uint64_t passes = 0;
    for (auto _ : state) {
        ManualClock clock(0);
        JitterBuffer buffer(JitterBufferLogger{}, clock);
        passes = 0;
        int64_t now = 0;
        for (const Arrival& a : stream.arrivals) {
            for (; now + kLoopPassUs <= a.time; now += kLoopPassUs, ++passes) {
                clock.set(now + kLoopPassUs);
                loop_pass(buffer);
            }
            now = a.time;
            clock.set(now);
            stream.push(buffer, a);
            loop_pass(buffer);
            ++passes;
        }
    }
    state.counters["per_fragment"] = benchmark::Counter(
        static_cast<double>(stream.arrivals.size()),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["passes_per_fragment"] =
        static_cast<double>(passes) / static_cast<double>(stream.arrivals.size());
}
BENCHMARK(BM_MainLoop)->Arg(0)->Arg(10)->Unit(benchmark::kMillisecond);

// Passes with nothing to send or release, on a buffer holding 15 s of frames (450 records) and
// two incomplete frames whose next requests are not due yet.
void BM_IdleLoopPass(benchmark::State& state) {
    quiet_logs();
    constexpr int kPassesPerRound = 500;  // one second of passes
    Stream history(0, 450);
    for (auto _ : state) {
        state.PauseTiming();
        ManualClock clock(0);
        JitterBuffer buffer(JitterBufferLogger{}, clock);
        for (const Arrival& a : history.arrivals) {
            clock.set(a.time);
            history.push(buffer, a);
        }
        loop_pass(buffer);
        for (uint32_t seq = 451; seq <= 452; ++seq) {
            video_fragment_info info;
            info.sequence_number = seq;
            info.fragments_number = 40;
            for (uint16_t id = 0; id < 39; ++id) {
                info.fragment_id = id;
                buffer.push_fragment(info, {history.payload.data(), kFragmentSize});
            }
        }
        control_data slow;
        slow.sequence_number = 1000;
        slow.minimal_roundtrip = 2'000'000;
        slow.maximum_roundtrip = 2'000'000;
        buffer.update_roundtrip(slow);
        state.ResumeTiming();
        for (int i = 0; i < kPassesPerRound; ++i) {
            clock.advance(kLoopPassUs);
            loop_pass(buffer);
        }
    }
    state.counters["per_pass"] =
        benchmark::Counter(kPassesPerRound, benchmark::Counter::kIsIterationInvariantRate |
                                                benchmark::Counter::kInvert);
}
BENCHMARK(BM_IdleLoopPass)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
