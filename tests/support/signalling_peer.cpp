#include "support/signalling_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kelvra::testing {

namespace {

using Clock = std::chrono::steady_clock;

// Waits up to `deadline` for `events` on `fd`; false on time-out or error.
bool wait_for_event(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd, events, 0};
        const int rc = ::poll(&entry, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (rc >= 0 || errno != EINTR) return rc > 0;
    }
}

}  // namespace

SignallingPeer::SignallingPeer(const uint8_t* key16)
    : plaintext_storage_(65536),
      plaintext_{plaintext_storage_.data(), 0, plaintext_storage_.size()},
      packetizer_(plaintext_) {
    if (!packetizer_.set_key(key16)) throw std::runtime_error("signalling peer: bad key");
    if (!listen(0)) throw std::system_error(errno, std::generic_category(), "signalling peer");
}

bool SignallingPeer::listen(uint16_t port) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener) return false;
    // Connections closed from this side linger in TIME_WAIT on the port being taken again.
    const int reuse = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof(reuse));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    socklen_t len = sizeof(addr);
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listener.get(), 8) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return false;
    }
    port_ = ntohs(addr.sin_port);
    listener_ = std::move(listener);
    return true;
}

bool SignallingPeer::accept(Timeout timeout) {
    if (!listener_) return false;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const int fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            connection_.reset(fd);
            peer_closed_ = false;
            input_.clear();
            return true;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (!wait_for_event(listener_.get(), POLLIN, deadline)) return false;
    }
}

void SignallingPeer::reset_connection() {
    if (connection_) {
        const linger abort_on_close{1, 0};
        ::setsockopt(connection_.get(), SOL_SOCKET, SO_LINGER, &abort_on_close,
                     sizeof(abort_on_close));
    }
    close_connection();
}

bool SignallingPeer::wait_for_close(Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    while (connection_ && !peer_closed_) {
        if (!wait_for_event(connection_.get(), POLLIN, deadline)) return false;
        read_available();
    }
    return peer_closed_;
}

Bytes SignallingPeer::record(const Bytes& frames, bool sealed) {
    Bytes out(frames.size() +
              (sealed ? manet::Packetizer::kEncryptedOverhead : manet::Packetizer::kHeaderSize));
    Slice<uint8_t> slice{out.data(), 0, out.size()};
    const manet::MAPacket packet{
        src_addr_, dst_addr_, channel_, false, {frames.data(), frames.size()}};
    packetizer_.encrypt = sealed;
    if (packetizer_.serialize(packet, slice) != manet::Packetizer::kOk) return {};
    out.resize(slice.size);
    return out;
}

Bytes SignallingPeer::with_length_prefix(const Bytes& record) {
    Bytes out(4 + record.size());
    messgen::store_le<uint32_t>(out.data(), static_cast<uint32_t>(record.size()));
    std::copy(record.begin(), record.end(), out.begin() + 4);
    return out;
}

bool SignallingPeer::send_bytes(const Bytes& bytes, Timeout timeout) {
    if (!connection_) return false;
    const auto deadline = Clock::now() + timeout;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(connection_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (!wait_for_event(connection_.get(), POLLOUT, deadline)) return false;
    }
    return true;
}

size_t SignallingPeer::poll_input(Timeout timeout) {
    const size_t before = frames_.size();
    if (connection_ && !peer_closed_ &&
        wait_for_event(connection_.get(), POLLIN, Clock::now() + timeout)) {
        read_available();
    }
    return frames_.size() - before;
}

std::optional<Bytes> SignallingPeer::wait_for_frame(uint8_t type_id, Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    size_t next = 0;
    for (;;) {
        for (; next < frames_.size(); ++next) {
            if (!taken_[next] && frames_[next].type_id == type_id) {
                taken_[next] = true;
                return frames_[next].payload;
            }
        }
        if (!connection_ || peer_closed_) return std::nullopt;
        if (!wait_for_event(connection_.get(), POLLIN, deadline)) return std::nullopt;
        read_available();
    }
}

bool SignallingPeer::read_available() {
    uint8_t chunk[16384];
    for (;;) {
        const ssize_t n = ::recv(connection_.get(), chunk, sizeof(chunk), 0);
        if (n > 0) {
            input_.insert(input_.end(), chunk, chunk + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n < 0 && errno == EINTR) continue;
        peer_closed_ = true;  // end of stream, or the connection broke
        break;
    }
    decode_frames();
    return !peer_closed_;
}

void SignallingPeer::decode_frames() {
    const size_t used = messgen::walk_frames(
        input_.data(), input_.size(), [this](const messgen::MessageInfo& info) {
            frames_.push_back({info.type_id, Bytes(info.payload, info.payload + info.size)});
            taken_.push_back(false);
        });
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(used));
}

}  // namespace kelvra::testing
