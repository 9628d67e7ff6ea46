// Datagram ingest of the gateway: batched receives handed one by one to the ingest, their
// replies batched back to the senders.

#include <spdlog/spdlog.h>
#include <sys/socket.h>

#include "kelvra/norvane/gateway/norvane.hpp"

namespace kelvra {

static_assert(norvane::ReceiveBatch::kDatagramCapacity == Norvane::kDatagramBufferSize);

void Norvane::read_video_data(const pollfd& /*entry*/) {
    for (size_t call = 0; call < kReceiveCallsPerTurn; ++call) {
        const int count = receive_batch_.receive(socket_);
        if (count < 0) {
            // The next turn tries again.
            ingest_.receive_failed(count);
            break;
        }
        for (int i = 0; i < count; ++i) handle_datagram(static_cast<size_t>(i));
        flush_to_senders();
        if (static_cast<size_t>(count) < norvane::ReceiveBatch::kCapacity) break;
    }
}

void Norvane::handle_datagram(size_t slot) {
    const sockaddr_in& sender = receive_batch_.sender(slot);
    const norvane::IngestOutcome outcome =
        ingest_.handle({receive_batch_.data(slot), receive_batch_.size(slot), kDatagramBufferSize},
                       sender, streams_, {reply_storage_.data(), 0, reply_storage_.size()});
    if (!outcome.accepted()) return;
    active_streams_.insert(outcome.stream_key);
    if (!outcome.reply.empty()) queue_for_sender(outcome.reply, sender, {});
}

void Norvane::queue_for_sender(ConstSlice<uint8_t> bytes, const sockaddr_in& to,
                               norvane::SendBatch::Tag tag) {
    if (send_batch_.full()) flush_to_senders();
    if (send_batch_.add(bytes.data, bytes.size, to, tag)) return;
    // Too long for a slot: sent on its own, after what was queued before it.
    flush_to_senders();
    const ssize_t sent = ::sendto(socket_, bytes.data, bytes.size, 0,
                                  reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (sent <= 0 && tag.report) {
        logger_->error("Failed to send retransmission request for seq {}, frag {}",
                       tag.sequence_number, tag.fragment_id);
    }
}

void Norvane::queue_for_sender(const sockaddr_in& to, norvane::SendBatch::Tag tag) {
    queue_for_sender({outgoing_.data(), outgoing_.size()}, to, tag);
    outgoing_.clear();
}

void Norvane::flush_to_senders() {
    send_batch_.flush(socket_, [this](const norvane::SendBatch::Tag& tag) {
        if (tag.report) {
            logger_->error("Failed to send retransmission request for seq {}, frag {}",
                           tag.sequence_number, tag.fragment_id);
        }
    });
}

}  // namespace kelvra
