#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvra::norvane {

// Datagrams of one recvmmsg call, in fixed slots reserved once.
class ReceiveBatch {
public:
    static constexpr size_t kCapacity = 64;            // datagrams per call
    static constexpr size_t kDatagramCapacity = 1500;  // bytes; longer datagrams are truncated

    ReceiveBatch();
    ReceiveBatch(const ReceiveBatch&) = delete;
    ReceiveBatch& operator=(const ReceiveBatch&) = delete;

    // Reads what the socket has queued, without waiting, up to kCapacity datagrams. Returns
    // how many were read (0 when none was queued), or -1 with errno set when the call failed.
    int receive(int socket);

    uint8_t* data(size_t i) { return storage_.data() + i * kDatagramCapacity; }
    size_t size(size_t i) const { return headers_[i].msg_len; }
    const sockaddr_in& sender(size_t i) const { return senders_[i]; }

private:
    std::vector<uint8_t> storage_;
    std::array<mmsghdr, kCapacity> headers_{};
    std::array<iovec, kCapacity> vectors_{};
    std::array<sockaddr_in, kCapacity> senders_{};
};

// Small datagrams to senders collected during a pass and sent together with sendmmsg, in the
// order they were added.
class SendBatch {
public:
    static constexpr size_t kCapacity = 128;         // datagrams
    static constexpr size_t kDatagramCapacity = 32;  // bytes, room for every reply to a sender

    // What a failed send is reported with.
    struct Tag {
        bool report = false;
        uint32_t sequence_number = 0;
        uint32_t fragment_id = 0;
    };

    SendBatch();
    SendBatch(const SendBatch&) = delete;
    SendBatch& operator=(const SendBatch&) = delete;

    bool full() const { return count_ == kCapacity; }
    size_t size() const { return count_; }
    // False when the batch is full or the datagram does not fit a slot.
    bool add(const uint8_t* data, size_t size, const sockaddr_in& to, Tag tag);

    // Sends everything held, each datagram once, and empties the batch; `on_failure(tag)` is
    // called for every datagram the kernel refused.
    template <typename OnFailure>
    void flush(int socket, OnFailure&& on_failure) {
        size_t next = 0;
        while (next < count_) {
            const int sent =
                ::sendmmsg(socket, headers_.data() + next, static_cast<unsigned>(count_ - next), 0);
            if (sent > 0) {
                next += static_cast<size_t>(sent);
                continue;
            }
            // The first datagram not sent is the one that failed; the rest still go.
            on_failure(tags_[next]);
            ++next;
        }
        count_ = 0;
    }

private:
    std::array<std::array<uint8_t, kDatagramCapacity>, kCapacity> storage_{};
    std::array<mmsghdr, kCapacity> headers_{};
    std::array<iovec, kCapacity> vectors_{};
    std::array<sockaddr_in, kCapacity> destinations_{};
    std::array<Tag, kCapacity> tags_{};
    size_t count_ = 0;
};

}  // namespace kelvra::norvane
