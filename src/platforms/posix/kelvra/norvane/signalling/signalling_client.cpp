#include "kelvra/norvane/signalling/signalling_client.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kelvra::norvane {

namespace {

constexpr size_t kLengthPrefixSize = 4;
// A dead server is noticed after 1 s of silence plus 10 unanswered probes 1 s apart.
constexpr int kKeepAliveIdleS = 1;
constexpr int kKeepAliveIntervalS = 1;
constexpr int kKeepAliveProbes = 10;

bool set_int_option(int fd, int level, int option, const char* option_name, int value) {
    if (setsockopt(fd, level, option, &value, sizeof(value)) == 0) return true;
    const int err = errno;
    spdlog::error("Failed to set {}. {} - {}", option_name, err, std::strerror(err));
    errno = err;
    return false;
}

bool configure_socket(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return false;
    return set_int_option(fd, SOL_SOCKET, SO_KEEPALIVE, "SO_KEEPALIVE", 1) &&
           set_int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, "TCP_KEEPIDLE", kKeepAliveIdleS) &&
           set_int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, "TCP_KEEPINTVL", kKeepAliveIntervalS) &&
           set_int_option(fd, IPPROTO_TCP, TCP_KEEPCNT, "TCP_KEEPCNT", kKeepAliveProbes);
}

}  // namespace

SignallingClient::SignallingClient(std::string host, std::string port,
                                   const manet::ManetConfig* manet)
    : host_(std::move(host)),
      port_(std::move(port)),
      receive_buffer_(kReceiveBufferSize),
      plaintext_{plaintext_storage_.data(), 0, plaintext_storage_.size()},
      packetizer_(plaintext_),
      manet_(manet) {
    if (manet_ == nullptr || !packetizer_.set_key(manet_->key)) {
        spdlog::error("Failed to install the manet key; encrypted signalling records will fail");
    }
    packetizer_.encrypt = true;
}

SignallingClient::~SignallingClient() {
    handler_ = nullptr;
}

void SignallingClient::set_pollfd(pollfd& entry) const {
    entry.fd = socket_.get();
    entry.events = POLLERR | POLLHUP;
    if (connected_) {
        entry.events |= POLLIN;
        if (!unsent_.empty()) entry.events |= POLLOUT;
    } else if (connecting_) {
        entry.events |= POLLOUT;
    }
    entry.revents = 0;
}

void SignallingClient::update(const pollfd& entry, int64_t now) {
    last_update_us_ = now;
    // Events reported for a descriptor other than the current socket are stale.
    const short revents = socket_.valid() && entry.fd == socket_.get() ? entry.revents : 0;

    if (revents & POLLIN) {
        read_available(now);
        process_input();
    }
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        handle_poll_error(now);
    } else if ((revents & POLLOUT) && connecting_) {
        spdlog::info("Connected to signalling server!");
        connected_ = true;
        connecting_ = false;
        // The start of a record cut off with the previous connection must not be taken as the
        // start of this connection's stream.
        if (received_ != 0) {
            spdlog::warn("Discarding {} bytes of an incomplete record from the previous connection",
                         received_);
            received_ = 0;
        }
        if (handler_ != nullptr) handler_->on_connect();
    } else if ((revents & POLLOUT) && connected_) {
        flush_unsent();
    }

    if (!connected_ && !connecting_ && now >= retry_time_) {
        if (try_connect()) {
            connecting_ = true;
        } else {
            retry_time_ = now + kRetryDelayUs;
        }
    }
}

void SignallingClient::read_available(int64_t now) {
    // process_input never leaves a record that could not complete, so there is always room.
    const ssize_t n =
        ::read(socket_.get(), receive_buffer_.data() + received_, kReceiveBufferSize - received_);
    if (n > 0) {
        received_ += static_cast<size_t>(n);
        return;
    }
    if (n == 0) {
        spdlog::warn("Signalling socket is closed by remote peer");
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return;  // nothing to read after all; the connection is fine
    } else {
        spdlog::error("Failed to read from signalling socket. {}", std::strerror(errno));
    }
    close_socket(now);
}

void SignallingClient::handle_poll_error(int64_t now) {
    if (connected_) {
        spdlog::warn("Disconnected from signalling server!");
        connected_ = false;
        if (handler_ != nullptr) handler_->on_disconnect();
    } else if (connecting_) {
        spdlog::warn("Connection attempt to signalling server failed");
        connecting_ = false;
    }
    close_socket(now);
}

void SignallingClient::close_socket(int64_t now) {
    addresses_.reset();
    socket_.reset();
    // The rest of a frame belongs to this connection's byte stream, not to the next one's.
    unsent_.clear();
    connected_ = false;
    connecting_ = false;
    retry_time_ = now + kRetryDelayUs;
}

bool SignallingClient::try_connect() {
    spdlog::info("Trying to connect to: {}:{}", host_, port_);

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host_.c_str(), port_.c_str(), &hints, &found);
    addresses_.reset(rc == 0 ? found : nullptr);
    if (!addresses_) {
        // The resolver reports its own codes; errno only means something for EAI_SYSTEM.
        if (rc == EAI_SYSTEM) {
            spdlog::error("Failed to get addrinfo! {} - {}", errno, std::strerror(errno));
        } else {
            spdlog::error("Failed to get addrinfo! {} - {}", rc, gai_strerror(rc));
        }
        return false;
    }

    const addrinfo& first = *addresses_;
    UniqueFd fd(::socket(first.ai_family, first.ai_socktype, first.ai_protocol));
    if (!fd.valid()) spdlog::error("Failed to create signalling socket");
    if (!fd.valid() || !configure_socket(fd.get())) {
        const int err = errno;
        spdlog::error("Failed to create client socket. {} - {}", err, std::strerror(err));
        return false;
    }

    socket_ = std::move(fd);
    if (::connect(socket_.get(), first.ai_addr, first.ai_addrlen) == 0 || errno == EINPROGRESS) {
        return true;
    }
    const int err = errno;
    socket_.reset();
    spdlog::error("Connect call failed! {} - {}", err, std::strerror(err));
    return false;
}

void SignallingClient::process_input() {
    size_t pos = 0;
    while (received_ - pos >= kLengthPrefixSize) {
        const uint8_t* record = receive_buffer_.data() + pos;
        const uint64_t length = messgen::load_le<uint32_t>(record);
        const uint64_t total = kLengthPrefixSize + length;
        if (total > kReceiveBufferSize) {
            // Such a record can never be completed, and a length this large usually means the
            // stream is out of step: start over on a fresh connection.
            spdlog::error(
                "Signalling record of {} bytes exceeds the receive buffer of {} bytes, dropping "
                "the connection",
                length, kReceiveBufferSize);
            received_ = 0;
            close_socket(last_update_us_);
            return;
        }
        if (received_ - pos < total) {
            spdlog::info("Packet is not fully received yet");
            break;
        }
        handle_record({record + kLengthPrefixSize, length});
        pos += total;
    }
    if (pos != 0) {
        std::memmove(receive_buffer_.data(), receive_buffer_.data() + pos, received_ - pos);
        received_ -= pos;
    }
}

void SignallingClient::handle_record(ConstSlice<uint8_t> record) {
    manet::MAPacket packet;
    const int rc = packetizer_.parse(record, packet);
    if (rc != manet::Packetizer::kOk) {
        const uint32_t src = record.size >= 4 ? messgen::load_le<uint32_t>(record.data) : 0;
        spdlog::error("ERROR: handling packet from {}: {}", src,
                      manet::Packetizer::format_error(rc));
        return;
    }
    if (require_encryption_ && !manet::Packetizer::is_sealed(record)) {
        spdlog::error(
            "ERROR: handling packet from {}: clear record refused, encryption is required",
            packet.src_addr);
        return;
    }
    // The handler may send from here; sending never touches the buffers read below.
    const size_t consumed = messgen::walk_frames(packet.payload.data, packet.payload.size,
                                                 [this](const messgen::MessageInfo& info) {
                                                     if (handler_ != nullptr)
                                                         handler_->on_signalling_message(info);
                                                 });
    if (consumed != packet.payload.size) {
        spdlog::error("ERROR: parsed bytes {} != packet payload size {}", consumed,
                      packet.payload.size);
    }
}

bool SignallingClient::send(const uint8_t* data, size_t size) {
    if (!connected_) {
        spdlog::error("Writing to not connected socket!");
        return false;
    }
    // MSG_NOSIGNAL: a broken connection reports EPIPE instead of raising SIGPIPE, whatever the
    // process's signal mask.
    if (!unsent_.empty()) return keep_unsent(data, size);
    ssize_t written = ::send(socket_.get(), data, size, MSG_NOSIGNAL);
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) written = 0;
    if (written < 0) {
        spdlog::error("Error writing to signalling socket!");
        return false;
    }
    if (static_cast<size_t>(written) < size) {
        spdlog::error("Not all the data written to socket! {} != {}", written, size);
        return keep_unsent(data + written, size - static_cast<size_t>(written));
    }
    return true;
}

bool SignallingClient::keep_unsent(const uint8_t* data, size_t size) {
    if (unsent_.size() + size > kMaxUnsentBytes) {
        spdlog::error(
            "Signalling server is not reading: {} bytes wait to be sent, dropping the connection",
            unsent_.size() + size);
        drop_connection();
        return false;
    }
    unsent_.insert(unsent_.end(), data, data + size);
    return true;
}

void SignallingClient::flush_unsent() {
    const ssize_t written = ::send(socket_.get(), unsent_.data(), unsent_.size(), MSG_NOSIGNAL);
    if (written < 0) {
        // A broken connection is reported by poll as well; the bytes wait until then.
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            spdlog::error("Error writing to signalling socket!");
        }
        return;
    }
    unsent_.erase(unsent_.begin(), unsent_.begin() + written);
}

void SignallingClient::drop_connection() {
    spdlog::warn("Disconnected from signalling server!");
    connected_ = false;
    if (handler_ != nullptr) handler_->on_disconnect();
    close_socket(last_update_us_);
}

}  // namespace kelvra::norvane
