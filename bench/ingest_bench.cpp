// Per-datagram cost of the gateway's ingest path against the cost of its AES-GCM work alone.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/msgs/video/video_datagram_codec.hpp"
#include "kelvra/norvane/gateway/norvane.hpp"

namespace {

using kelvra::msgs::video::control_data;
using kelvra::msgs::video::video_fragment_info;

constexpr uint32_t kManet = 0x0A000001;
constexpr uint8_t kCamera = 1;
constexpr uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
constexpr uint16_t kFragmentsPerFrame = 10;

// A full-size datagram: 1400 fragment bytes, 1493 bytes on the wire.
std::vector<uint8_t> seal(uint32_t frame, uint16_t fragment_id, uint32_t control_seq) {
    control_data control;
    control.sequence_number = control_seq;
    control.minimal_roundtrip = 20'000;
    control.maximum_roundtrip = 40'000;
    control.flight_id = -1;
    control.video_format = 1;
    video_fragment_info info;
    info.sequence_number = frame;
    info.fragment_id = fragment_id;
    info.fragments_number = kFragmentsPerFrame;
    info.type = frame % 30 == 0 ? 1 : 0;
    const std::vector<uint8_t> fragment(1400, static_cast<uint8_t>(frame));
    kelvra::msgs::video::DatagramIvs ivs;
    for (uint8_t i = 0; i < ivs.control.size(); ++i)
        ivs.control[i] = ivs.payload[i] = static_cast<uint8_t>(control_seq + i);
    ivs.payload[0] ^= 0xFF;
    kelvra::manet::AesGcm gcm;
    gcm.set_key(kKey);
    std::vector<uint8_t> d(kelvra::msgs::video::kMaxDatagramSize);
    kelvra::Slice<uint8_t> out{d.data(), 0, d.size()};
    kelvra::msgs::video::seal_video_datagram({kManet, kCamera}, control, info,
                                             {fragment.data(), fragment.size()}, ivs, gcm, out);
    d.resize(out.size);
    return d;
}

void BM_DecryptDatagramSections(benchmark::State& state) {
    const auto d = seal(1, 0, 1);
    kelvra::manet::AesGcm gcm;
    gcm.set_key(kKey);
    std::array<uint8_t, 1500> storage{};
    kelvra::ConstSlice<uint8_t> plaintext{};
    for (auto _ : state) {
        // Opening spends the bytes: each round opens a fresh copy.
        std::memcpy(storage.data(), d.data(), d.size());
        const auto result =
            kelvra::msgs::video::open_video_datagram({storage.data(), d.size()}, gcm, plaintext);
        benchmark::DoNotOptimize(result);
    }
    state.SetLabel("1493-byte datagram copied, 26 + 1414 bytes decrypted in place");
}
BENCHMARK(BM_DecryptDatagramSections);

int bound_socket() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    const int big = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    return fd;
}

// Sends datagrams `next` .. `next + count` (wrapping) from `sender_socket` to the gateway.
void send_batch(int sender_socket, const sockaddr_in& gateway_addr,
                const std::vector<std::vector<uint8_t>>& datagrams, size_t next, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const auto& d = datagrams[(next + i) % datagrams.size()];
        ::sendto(sender_socket, d.data(), d.size(), 0,
                 reinterpret_cast<const sockaddr*>(&gateway_addr), sizeof(gateway_addr));
    }
}

// Drops the replies the gateway sent back.
void drain_replies(int sender_socket) {
    uint8_t sink[64];
    while (::recv(sender_socket, sink, sizeof(sink), MSG_DONTWAIT) > 0) {
    }
}

// Receive, blacklist gate, decrypt, parse, jitter buffer, video_stats back: the whole work the
// gateway does for one datagram, with the sender's sendto kept out of the timing.
void BM_GatewayIngestPerDatagram(benchmark::State& state) {
    spdlog::set_level(spdlog::level::warn);
    const int gateway_socket = bound_socket();
    const int sender_socket = bound_socket();
    sockaddr_in gateway_addr{};
    socklen_t len = sizeof(gateway_addr);
    getsockname(gateway_socket, reinterpret_cast<sockaddr*>(&gateway_addr), &len);

    static kelvra::manet::ManetConfig manet{};
    auto gateway = std::make_unique<kelvra::Norvane>(
        gateway_socket, std::make_unique<kelvra::RuntimeManager>(),
        std::make_unique<kelvra::norvane::SignallingClient>("127.0.0.1", "1", &manet), "s:3478",
        "u:p@t:3478", spdlog::level::warn, false, "/tmp/norvane-bench", 15'000'000, false);
    kelvra::msgs::video::set_stream announce;
    announce.manet_addr = kManet;
    announce.camera_type = kCamera;
    announce.enabled = 1;
    std::copy(std::begin(kKey), std::end(kKey), announce.key);
    std::vector<uint8_t> frame;
    frame.reserve(64);
    announce.serialize(frame);
    gateway->on_signalling_message({frame[0], 22, frame.data() + 5});

    constexpr size_t kBatch = 100;
    std::vector<std::vector<uint8_t>> datagrams;
    for (uint32_t i = 0; i < 30'000; ++i)
        datagrams.push_back(seal(1 + i / kFragmentsPerFrame, i % kFragmentsPerFrame, i + 1));

    size_t next = 0;
    const pollfd entry{gateway_socket, POLLIN, POLLIN};
    for (auto _ : state) {
        state.PauseTiming();
        send_batch(sender_socket, gateway_addr, datagrams, next, kBatch);
        state.ResumeTiming();
        for (size_t i = 0; i < kBatch; ++i) {
            gateway->read_video_data(entry);
            if ((next + i) % kFragmentsPerFrame == kFragmentsPerFrame - 1) {
                gateway->serve_streams(kelvra::time_us());
            }
        }
        state.PauseTiming();
        drain_replies(sender_socket);
        next += kBatch;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
    state.SetLabel("items = datagrams; includes one stream pass per completed frame");
    gateway.reset();
    ::close(gateway_socket);
    ::close(sender_socket);
}
BENCHMARK(BM_GatewayIngestPerDatagram)->Iterations(200)->Repetitions(3);

// The floor the gateway's ingest is measured against: the same datagrams received with
// recvmmsg, both sections decrypted, and a 17-byte reply each sent back with sendmmsg, nothing
// else (no lookup, no header walk, no jitter buffer, no logs).
void BM_BareReceiveDecryptReply(benchmark::State& state) {
    const int gateway_socket = bound_socket();
    const int sender_socket = bound_socket();
    sockaddr_in gateway_addr{};
    socklen_t len = sizeof(gateway_addr);
    getsockname(gateway_socket, reinterpret_cast<sockaddr*>(&gateway_addr), &len);
    kelvra::manet::AesGcm gcm;
    gcm.set_key(kKey);

    constexpr size_t kBatch = 100;
    constexpr size_t kSlots = 64;
    std::vector<std::vector<uint8_t>> datagrams;
    for (uint32_t i = 0; i < 1'000; ++i)
        datagrams.push_back(seal(1 + i / kFragmentsPerFrame, i % kFragmentsPerFrame, i + 1));
    std::vector<uint8_t> storage(kSlots * 1500);
    std::array<std::array<uint8_t, 17>, kSlots> replies{};
    std::array<mmsghdr, kSlots> in{}, out{};
    std::array<iovec, kSlots> in_vec{}, out_vec{};
    std::array<sockaddr_in, kSlots> from{};

    size_t next = 0;
    for (auto _ : state) {
        state.PauseTiming();
        send_batch(sender_socket, gateway_addr, datagrams, next, kBatch);
        state.ResumeTiming();
        for (size_t done = 0; done < kBatch;) {
            for (size_t i = 0; i < kSlots; ++i) {
                in_vec[i] = iovec{storage.data() + i * 1500, 1500};
                in[i] = mmsghdr{};
                in[i].msg_hdr.msg_iov = &in_vec[i];
                in[i].msg_hdr.msg_iovlen = 1;
                in[i].msg_hdr.msg_name = &from[i];
                in[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            }
            const int got = ::recvmmsg(gateway_socket, in.data(), kSlots, MSG_DONTWAIT, nullptr);
            if (got <= 0) break;
            for (int i = 0; i < got; ++i) {
                kelvra::ConstSlice<uint8_t> plaintext{};
                const auto result = kelvra::msgs::video::open_video_datagram(
                    {storage.data() + i * 1500, in[i].msg_len}, gcm, plaintext);
                benchmark::DoNotOptimize(result);
                replies[i][0] = 11;
                out_vec[i] = iovec{replies[i].data(), replies[i].size()};
                out[i] = mmsghdr{};
                out[i].msg_hdr.msg_iov = &out_vec[i];
                out[i].msg_hdr.msg_iovlen = 1;
                out[i].msg_hdr.msg_name = &from[i];
                out[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            }
            ::sendmmsg(gateway_socket, out.data(), static_cast<unsigned>(got), 0);
            done += static_cast<size_t>(got);
        }
        state.PauseTiming();
        drain_replies(sender_socket);
        next += kBatch;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
    state.SetLabel("items = datagrams");
    ::close(gateway_socket);
    ::close(sender_socket);
}
BENCHMARK(BM_BareReceiveDecryptReply)->Iterations(200)->Repetitions(3);

}  // namespace

BENCHMARK_MAIN();
