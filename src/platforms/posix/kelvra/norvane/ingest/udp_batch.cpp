#include "kelvra/norvane/ingest/udp_batch.hpp"

#include <cerrno>
#include <cstring>

namespace kelvra::norvane {

ReceiveBatch::ReceiveBatch() : storage_(kCapacity * kDatagramCapacity) {
    for (size_t i = 0; i < kCapacity; ++i) {
        vectors_[i] = iovec{data(i), kDatagramCapacity};
        headers_[i].msg_hdr.msg_iov = &vectors_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
        headers_[i].msg_hdr.msg_name = &senders_[i];
    }
}

int ReceiveBatch::receive(int socket) {
    for (size_t i = 0; i < kCapacity; ++i) {
        // Both are results of the previous call; the sender is zeroed as for a lone recvfrom.
        senders_[i] = sockaddr_in{};
        headers_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        headers_[i].msg_hdr.msg_flags = 0;
        headers_[i].msg_len = 0;
    }
    const int received = ::recvmmsg(socket, headers_.data(), kCapacity, MSG_DONTWAIT, nullptr);
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return received;
}

SendBatch::SendBatch() {
    for (size_t i = 0; i < kCapacity; ++i) {
        vectors_[i] = iovec{storage_[i].data(), 0};
        headers_[i].msg_hdr.msg_iov = &vectors_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
        headers_[i].msg_hdr.msg_name = &destinations_[i];
        headers_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
}

bool SendBatch::add(const uint8_t* data, size_t size, const sockaddr_in& to, Tag tag) {
    if (count_ == kCapacity || size > kDatagramCapacity) return false;
    std::memcpy(storage_[count_].data(), data, size);
    vectors_[count_].iov_len = size;
    destinations_[count_] = to;
    tags_[count_] = tag;
    ++count_;
    return true;
}

}  // namespace kelvra::norvane
