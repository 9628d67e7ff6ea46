// Video datagrams through the gateway's ingest (blacklist gate, lookup, decryption in place,
// header walk, jitter buffer, reply), then the stream's release and retransmit requests with a
// clock the input moves.
//
// Input: one mode byte, then records of [clock step in ms: 1][length: 2 LE][bytes].
//   mode & 3 == 0: each record is a datagram as received, its clear part naming the fuzzed
//                  stream (mostly fails authentication);
//   mode & 3 == 1: each record is the plaintext (header area + fragment), sealed here with the
//                  stream's key, so the header walk runs on the fuzzer's bytes;
//   mode & 3 >= 2: each record is [fragment info: 9][control: 21][fragment bytes], framed and
//                  sealed here, so nearly every record reaches the jitter buffer.
//   mode & 4: the jitter buffer runs under a latency budget.

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kelvra/core/time.hpp"
#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/msgs/video/video_datagram_codec.hpp"
#include "kelvra/norvane/gateway/stream.hpp"
#include "kelvra/norvane/ingest/datagram_ingest.hpp"

namespace {

using namespace kelvra;
namespace video = msgs::video;

constexpr uint8_t kKey[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                              0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
constexpr uint64_t kRetransmitBudget = 50;  // the gateway's per-second request budget
constexpr int64_t kLatencyBudgetUs = 300'000;
constexpr uint32_t kManet = 0x0A0B0C0D;
constexpr uint8_t kCamera = 1;

std::shared_ptr<spdlog::logger> quiet_log() {
    static const auto log = [] {
        spdlog::set_level(spdlog::level::off);
        return std::make_shared<spdlog::logger>("fuzz",
                                                std::make_shared<spdlog::sinks::null_sink_st>());
    }();
    return log;
}

// Seals a plaintext (header area + fragment) into a datagram of the stream.
std::vector<uint8_t> seal(std::vector<uint8_t> plaintext, manet::AesGcm& cipher) {
    if (plaintext.size() < video::kHeaderAreaSize) plaintext.resize(video::kHeaderAreaSize);
    std::vector<uint8_t> d(video::kMaxDatagramSize);
    Slice<uint8_t> out{d.data(), 0, d.size()};
    const video::DatagramIvs ivs{};  // any IVs do: the fuzzer's datagrams need no secrecy
    const size_t n = video::seal_video_plaintext(
        {kManet, kCamera}, {plaintext.data(), plaintext.size()}, ivs, cipher, out);
    d.resize(n);
    return d;
}

// [fragment info: 9][control: 21][fragment] as the two framed records and the fragment.
std::vector<uint8_t> frame_fields(const uint8_t* data, size_t size) {
    std::vector<uint8_t> fields(data, data + size);
    fields.resize(std::max<size_t>(fields.size(), 30));
    std::vector<uint8_t> p = {video::control_data::TYPE, 21, 0, 0, 0};
    p.insert(p.end(), fields.begin() + 9, fields.begin() + 30);
    p.insert(p.end(), {video::video_fragment_info::TYPE, 9, 0, 0, 0});
    p.insert(p.end(), fields.begin(), fields.begin() + 9);
    p.insert(p.end(), fields.begin() + 30, fields.end());
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    ManualClock clock;
    norvane::StreamMap streams;
    auto& stream =
        streams
            .try_emplace(norvane::stream_key(kManet, kCamera), kManet, kCamera,
                         JitterBuffer({}, clock,
                                      {.latency_budget_us =
                                           (mode & 4) ? std::optional<int64_t>(kLatencyBudgetUs)
                                                      : std::nullopt}))
            .first->second;
    stream.cipher.set_key(kKey);
    JitterBuffer& buffer = stream.sink.jitter_buffer;
    // Flight directories cannot be made below a file: none is left behind.
    norvane::DatagramIngest::Settings settings;
    settings.save_dir = "/dev/null";
    norvane::DatagramIngest ingest(quiet_log(), clock, settings);
    std::array<uint8_t, 32> reply{};

    size_t pos = 1;
    for (uint32_t record_index = 0; size - pos >= 3; ++record_index) {
        clock.advance(int64_t{data[pos]} * 1000);
        size_t length = data[pos + 1] | (size_t{data[pos + 2]} << 8);
        pos += 3;
        length = std::min(length, size - pos);
        const uint8_t* record = data + pos;
        pos += length;

        std::vector<uint8_t> datagram;
        switch (mode & 3) {
            case 0:
                datagram.assign(record, record + length);
                if (datagram.size() >= video::kClearSize) {
                    messgen::store_le<uint32_t>(datagram.data(), kManet);
                    datagram[4] = kCamera;
                }
                break;
            case 1:
                datagram = seal({record, record + length}, stream.cipher);
                break;
            default:
                datagram = seal(frame_fields(record, length), stream.cipher);
                break;
        }
        // As the receive would: truncated to its buffer, from a source of its own so that the
        // blacklist does not silence the rest.
        datagram.resize(std::min(datagram.size(), video::kMaxDatagramSize));
        sockaddr_in sender{};
        sender.sin_addr.s_addr = record_index;
        (void)ingest.handle({datagram.data(), datagram.size(), datagram.size()}, sender, streams,
                            {reply.data(), 0, reply.size()});
        for (const auto& frame : buffer.get_frames_to_show()) {
            // Touch every released byte so that a short frame buffer shows up under ASan.
            volatile uint8_t sink = 0;
            for (uint32_t i = 0; i < frame.size; ++i) sink = sink ^ frame.data[i];
        }
        (void)buffer.get_retransmit_requests(kRetransmitBudget);
        (void)buffer.queue_stats();
    }
    // Let every deadline pass.
    clock.advance(20'000'000);
    (void)buffer.get_frames_to_show();
    (void)buffer.get_retransmit_requests(kRetransmitBudget);
    return 0;
}
