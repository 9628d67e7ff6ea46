// The signalling byte stream: a loopback server writes the input to the gateway's signalling
// client, whose record loop opens the envelope records and hands their frames to the gateway's
// dispatcher, as in the running gateway.
//
// Input: one mode byte, one chunk byte, then the stream.
//   mode & 1 == 0: the stream goes out as it is (plain records reach the dispatcher too);
//   mode & 1 == 1: the stream is records of [length: 2 LE][payload], each sealed here with the
//                  gateway's key and length-prefixed, so the decrypting path is taken.
// The stream is written in chunks of (chunk byte + 1) * 61 bytes, the client reading between
// them, so records arrive split at varying places.
//
// Session requests for an announced stream would fork a viewer session; they are parsed but
// not dispatched. Every other frame reaches the dispatcher. After each input the connection is
// dropped (the client discards any partial record when it reconnects) and every announced
// stream is removed, so inputs do not depend on each other.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spdlog/spdlog.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kelvra/core/unique_fd.hpp"
#include "kelvra/manet/manet_config.hpp"
#include "kelvra/manet/packetizer.hpp"
#include "kelvra/norvane/gateway/norvane.hpp"
#include "kelvra/norvane/signalling/signalling_client.hpp"

namespace {

using namespace kelvra;
namespace video = msgs::video;

constexpr uint8_t kManetKey[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr int64_t kStepUs = 2'000'000;  // past the client's reconnect delay
constexpr size_t kChunkUnit = 61;       // bytes

UniqueFd bound_socket(int type) {
    UniqueFd fd(::socket(AF_INET, type, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        std::abort();
    return fd;
}

uint16_t port_of(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

// Forwards frames to the gateway, keeping back the session requests that would fork.
struct Dispatch final : norvane::SingallingClientHandler {
    void on_signalling_message(const messgen::MessageInfo& info) override {
        if (info.type_id == video::session_request::TYPE) {
            messgen::Arena none(nullptr, 0);
            video::session_request req;
            if (req.parse(info, none) >= 0 &&
                gateway->streams().count(norvane::stream_key(req.manet_addr, req.camera_type)))
                return;
        }
        gateway->on_signalling_message(info);
    }
    void on_connect() override { gateway->on_connect(); }
    void on_disconnect() override { gateway->on_disconnect(); }
    Norvane* gateway = nullptr;
};

struct Fixture {
    Fixture() : listener(bound_socket(SOCK_STREAM)), udp(bound_socket(SOCK_DGRAM)) {
        spdlog::set_level(spdlog::level::off);
        if (::listen(listener.get(), 4) != 0) std::abort();
        std::copy(std::begin(kManetKey), std::end(kManetKey), manet.key);
        auto owned = std::make_unique<norvane::SignallingClient>(
            "127.0.0.1", std::to_string(port_of(listener.get())), &manet);
        client = owned.get();
        gateway = std::make_unique<Norvane>(udp.get(), std::make_unique<RuntimeManager>(),
                                            std::move(owned), "stun:3478", "u:p@turn:3478",
                                            spdlog::level::off, false, "/nonexistent/flights",
                                            15'000'000, false, clock_, "/nonexistent/logs/");
        // The runtime manager blocks every signal; libFuzzer needs its own (timeouts, -jobs).
        sigset_t all;
        sigfillset(&all);
        sigprocmask(SIG_UNBLOCK, &all, nullptr);
        dispatch.gateway = gateway.get();
        client->set_handler(&dispatch);
        sealer_plaintext = {sealer_storage.data(), 0, sealer_storage.size()};
        sealer = std::make_unique<manet::Packetizer>(sealer_plaintext);
        sealer->set_key(kManetKey);
        sealer->encrypt = true;
    }

    void turn(short revents) {
        pollfd entry{};
        client->set_pollfd(entry);
        entry.revents = revents;
        client->update(entry, now);
    }

    void connect() {
        now += kStepUs;
        turn(0);
        if (!client->connecting() && !client->connected()) std::abort();
        peer.reset(::accept(listener.get(), nullptr, nullptr));
        if (!peer.valid()) std::abort();
        pollfd entry{};
        client->set_pollfd(entry);
        ::poll(&entry, 1, 1000);
        client->update(entry, now);
        if (!client->connected()) std::abort();
    }

    size_t pending() const {
        int n = 0;
        ::ioctl(client->socket_fd(), FIONREAD, &n);
        return static_cast<size_t>(n);
    }

    // Lets the client read and handle everything the server wrote so far.
    void pump() {
        while (client->connected() && pending() > 0) turn(POLLIN);
    }

    bool write(const uint8_t* data, size_t size, size_t chunk) {
        size_t done = 0;
        while (done < size) {
            if (!client->connected()) return false;
            const size_t n = std::min(chunk, size - done);
            const ssize_t w = ::send(peer.get(), data + done, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w < 0 && errno != EAGAIN) return false;
            if (w > 0) done += static_cast<size_t>(w);
            pump();
        }
        return true;
    }

    void disconnect() {
        peer.reset();
        for (int i = 0; i < 100 && client->connected(); ++i) turn(POLLIN);
        if (client->connected()) std::abort();
        // Remove every stream the input announced, one set_stream at a time.
        while (!gateway->streams().empty()) {
            video::set_stream off;  // enabled = 0
            off.manet_addr = gateway->streams().begin()->second.manet_addr;
            off.camera_type = gateway->streams().begin()->second.camera_type;
            std::vector<uint8_t> frame;
            frame.reserve(off.frame_size());
            off.serialize(frame);
            gateway->on_signalling_message(
                {frame[0], static_cast<uint32_t>(off.payload_size()), frame.data() + 5});
            if (gateway->streams().count(norvane::stream_key(off.manet_addr, off.camera_type)))
                std::abort();
        }
        if (!gateway->streams().empty()) std::abort();
    }

    // [length: 2][payload] records, each sealed and length-prefixed.
    std::vector<uint8_t> seal_records(const uint8_t* data, size_t size) {
        std::vector<uint8_t> stream;
        std::vector<uint8_t> record_storage(norvane::SignallingClient::kReceiveBufferSize);
        size_t pos = 0;
        while (size - pos >= 2) {
            size_t length = data[pos] | (size_t{data[pos + 1]} << 8);
            pos += 2;
            length = std::min(length, size - pos);
            const manet::MAPacket packet{1, 2, 0, false, {data + pos, length}};
            pos += length;
            Slice<uint8_t> record{record_storage.data(), 0, record_storage.size()};
            if (sealer->serialize(packet, record) != manet::Packetizer::kOk) continue;
            const auto n = static_cast<uint32_t>(record.size);
            const auto* len = reinterpret_cast<const uint8_t*>(&n);
            stream.insert(stream.end(), len, len + 4);
            stream.insert(stream.end(), record.data, record.data + record.size);
        }
        return stream;
    }

    UniqueFd listener;
    UniqueFd udp;
    UniqueFd peer;
    ManualClock clock_;
    manet::ManetConfig manet;
    norvane::SignallingClient* client = nullptr;
    std::unique_ptr<Norvane> gateway;
    Dispatch dispatch;
    int64_t now = 0;
    std::array<uint8_t, norvane::SignallingClient::kPlaintextBufferSize> sealer_storage{};
    Slice<uint8_t> sealer_plaintext;
    std::unique_ptr<manet::Packetizer> sealer;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture f;
    if (size < 2) return 0;
    const bool sealed = data[0] & 1;
    const size_t chunk = (size_t{data[1]} + 1) * kChunkUnit;
    f.connect();
    if (sealed) {
        const std::vector<uint8_t> stream = f.seal_records(data + 2, size - 2);
        f.write(stream.data(), stream.size(), chunk);
    } else {
        f.write(data + 2, size - 2, chunk);
    }
    f.disconnect();
    return 0;
}
