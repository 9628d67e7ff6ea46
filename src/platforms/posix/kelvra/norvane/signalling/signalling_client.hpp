#pragma once

#include <netdb.h>
#include <poll.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvra/core/slice.hpp"
#include "kelvra/core/unique_fd.hpp"
#include "kelvra/manet/manet_config.hpp"
#include "kelvra/manet/packetizer.hpp"
#include "kelvra/msgs/video/messgen.hpp"

namespace kelvra::norvane {

// Receiver of what arrives on the signalling connection.
class SingallingClientHandler {
public:
    virtual void on_signalling_message(const messgen::MessageInfo& info) = 0;
    virtual void on_connect() = 0;
    virtual void on_disconnect() = 0;

protected:
    ~SingallingClientHandler() = default;
};

// The TCP connection to the signalling server, driven by the gateway's poll loop: connects
// without blocking, reconnects 1 s after any failure, splits the incoming byte stream into
// length-prefixed envelope records and their frames, and sends bare frames.
class SignallingClient {
public:
    static constexpr size_t kReceiveBufferSize = 16384;
    static constexpr size_t kPlaintextBufferSize = 8192;
    static constexpr int64_t kRetryDelayUs = 1'000'000;
    // Bytes a send may leave waiting for the socket; past it the server is not reading and the
    // connection is dropped.
    static constexpr size_t kMaxUnsentBytes = 1 << 20;

    // Installs the key of `manet` in the packetizer with encryption on; does not connect yet.
    SignallingClient(std::string host, std::string port, const manet::ManetConfig* manet);
    ~SignallingClient();
    SignallingClient(const SignallingClient&) = delete;
    SignallingClient& operator=(const SignallingClient&) = delete;

    void set_handler(SingallingClientHandler* handler) { handler_ = handler; }
    // Refuse records that are not sealed with the key: anyone on the path could otherwise
    // announce streams with keys of their own.
    void set_require_encryption(bool required) { require_encryption_ = required; }
    void set_pollfd(pollfd& entry) const;
    void update(const pollfd& entry, int64_t now);
    bool try_connect();
    void process_input();
    // Sends the bytes after any still waiting; what the socket does not take now waits and goes
    // first when it is writable, so frames are never cut. False when not connected, the write
    // failed, or the waiting bytes would pass kMaxUnsentBytes (the connection is then dropped).
    bool send(const uint8_t* data, size_t size);
    // Bytes accepted by send and not yet written to the socket.
    size_t unsent_bytes() const { return unsent_.size(); }

    bool connected() const { return connected_; }
    bool connecting() const { return connecting_; }
    int socket_fd() const { return socket_.get(); }
    // Bytes received and not yet handled (the start of an incomplete record).
    size_t buffered_bytes() const { return received_; }

private:
    struct AddressListDeleter {
        void operator()(addrinfo* list) const { freeaddrinfo(list); }
    };
    using AddressList = std::unique_ptr<addrinfo, AddressListDeleter>;

    void read_available(int64_t now);
    bool keep_unsent(const uint8_t* data, size_t size);
    void flush_unsent();
    void drop_connection();
    void handle_poll_error(int64_t now);
    // Opens one envelope record and hands its frames to the handler.
    void handle_record(ConstSlice<uint8_t> record);
    // Drops the socket and the last resolution; the next attempt is due 1 s after `now`.
    void close_socket(int64_t now);

    std::string host_;
    std::string port_;
    SingallingClientHandler* handler_ = nullptr;
    AddressList addresses_;
    UniqueFd socket_;
    bool connected_ = false;
    bool connecting_ = false;
    // Fixed storage of kReceiveBufferSize bytes; the first `received_` hold unhandled input.
    std::vector<uint8_t> receive_buffer_;
    size_t received_ = 0;
    bool require_encryption_ = false;
    std::vector<uint8_t> unsent_;
    int64_t retry_time_ = 0;
    // Time of the latest update, for a connection that process_input itself has to drop.
    int64_t last_update_us_ = 0;
    std::array<uint8_t, kPlaintextBufferSize> plaintext_storage_{};
    Slice<uint8_t> plaintext_;
    manet::Packetizer packetizer_;
    const manet::ManetConfig* manet_;
};

}  // namespace kelvra::norvane
