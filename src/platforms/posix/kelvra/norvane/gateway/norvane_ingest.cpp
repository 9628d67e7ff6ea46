// Datagram ingest of the gateway: receive, blacklist gate, decrypt, parse, jitter buffer,
// statistics back to the sender.

#include <arpa/inet.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>

#include <filesystem>

#include "kelvra/msgs/video/video_datagram_codec.hpp"
#include "kelvra/norvane/gateway/norvane.hpp"
#include "kelvra/norvane/ingest/flight_recorder.hpp"

namespace kelvra {

using msgs::video::control_data;
using msgs::video::kHeaderAreaSize;
using msgs::video::kMinDatagramSize;
using msgs::video::video_fragment_info;

namespace {

// Header frames too short for their record, in the order the walk met them.
void log_short_records(const msgs::video::DatagramHeader& header, norvane::LogFold& fold,
                       const std::shared_ptr<spdlog::logger>& log, uint32_t source) {
    for (size_t i = 0; i < header.short_record_count; ++i) {
        if (header.short_records[i] == msgs::video::HeaderRecord::kFragmentInfo)
            fold.error(log, source, "Failed to parse video fragment message");
        else
            fold.error(log, source, "VideoReceiver, Failed to parse control_data message!");
    }
}

}  // namespace

static_assert(norvane::ReceiveBatch::kDatagramCapacity == Norvane::kDatagramBufferSize);

void Norvane::read_video_data(const pollfd& /*entry*/) {
    for (size_t call = 0; call < kReceiveCallsPerTurn; ++call) {
        const int count = receive_batch_.receive(socket_);
        if (count < 0) {
            // The same report a lone failed receive gives; the next turn tries again.
            receive_buffer_.data = receive_batch_.data(0);
            handle_datagram(count, sockaddr_in{});
            break;
        }
        for (int i = 0; i < count; ++i) {
            receive_buffer_.data = receive_batch_.data(static_cast<size_t>(i));
            handle_datagram(static_cast<ssize_t>(receive_batch_.size(static_cast<size_t>(i))),
                            receive_batch_.sender(static_cast<size_t>(i)));
        }
        flush_to_senders();
        if (static_cast<size_t>(count) < norvane::ReceiveBatch::kCapacity) break;
    }
}

void Norvane::handle_datagram(ssize_t received, const sockaddr_in& sender) {
    receive_buffer_.size = 0;
    plaintext_buffer_.size = 0;
    const uint32_t source = sender.sin_addr.s_addr;

    if (blacklist_.is_blocked(source)) return;
    if (received < 0) {
        input_log_.error(logger_, source, "Recvfrom failed. Error {}", received);
        return;
    }
    const auto n = static_cast<size_t>(received);
    const auto clear_part = msgs::video::read_datagram_address({receive_buffer_.data, n});
    if (!clear_part) {
        input_log_.error(logger_, source,
                         "Received less then minimum allowed bytes in encrypted datagram: {} < {}",
                         n, kMinDatagramSize);
        return;
    }

    const msgs::video::DatagramAddress address = *clear_part;
    receive_buffer_.size = n;
    const auto stream = streams_.find(norvane::stream_key(address.manet_addr, address.camera_type));
    if (stream == streams_.end()) {
        input_log_.error(logger_, source,
                         "Received data from non-existent stream with manet address {:x}",
                         address.manet_addr);
        blacklist_.add_error(source);
        return;
    }
    if (!decrypt_video_data(stream, source)) {
        input_log_.error(logger_, source, "Failed to decrypt video data");
        blacklist_.add_error(source);
        return;
    }

    const msgs::video::DatagramHeader header =
        msgs::video::parse_header_area(plaintext_buffer_.view());
    log_short_records(header, input_log_, logger_, source);
    if (header.consumed != kHeaderAreaSize) {
        input_log_.error(spdlog::default_logger(), source,
                         "DATA SIZE MISMATCH! {} != {}, recv = {}", header.consumed,
                         kHeaderAreaSize, n);
    }
    msg_logger_.log_header(header.area.data, header.area.size);
    if (!header.has_fragment_info || !header.has_control) {
        input_log_.error(logger_, source, "Wrong datagram data received!");
        return;
    }
    handle_video_message(header.fragment_info, header.control, address.manet_addr,
                         address.camera_type, header.fragment, sender);
}

bool Norvane::decrypt_video_data(norvane::StreamMap::iterator stream, uint32_t source) {
    const auto result = msgs::video::decrypt_video_datagram(
        receive_buffer_.view(), stream->second.cipher, plaintext_buffer_);
    if (result == msgs::video::DecryptResult::kControlFailed)
        input_log_.error(logger_, source, "Failed to decrypt control data");
    return result == msgs::video::DecryptResult::kOk;
}

void Norvane::handle_video_message(const video_fragment_info& fragment_info,
                                   const control_data& control, uint32_t manet_addr,
                                   uint8_t camera_type, ConstSlice<uint8_t> payload,
                                   const sockaddr_in& sender) {
    logger_->trace("Got fragment {}, seq={}, addr: {}, camera type: {}", fragment_info.fragment_id,
                   fragment_info.sequence_number, manet_addr, camera_type);
    const auto it = streams_.find(norvane::stream_key(manet_addr, camera_type));
    if (it == streams_.end()) {
        logger_->debug("Stream with addr {:x} not found", manet_addr);
        return;
    }
    norvane::Stream& stream = it->second;
    stream.last_data_time = clock_.now_us();
    active_streams_.insert(it->first);
    stream.bitrate = control.bitrate_est;
    stream.video_format = control.video_format;
    if (control.flight_id != stream.flight_id) {
        if (control.flight_id != -1) handle_new_flight(stream, control, manet_addr);
        stream.flight_id = control.flight_id;
    }
    stream.sink.sender_address = sender;
    stream.sink.jitter_buffer.push_fragment(fragment_info, payload, control.video_format);
    stream.sink.jitter_buffer.update_roundtrip(control);
    send_stream_stats(stream.sink);
}

void Norvane::handle_new_flight(norvane::Stream& stream, const control_data& control,
                                uint32_t manet_addr) {
    const std::string directory =
        norvane::flight_directory(save_dir_, manet_addr, control.flight_id, stream.camera_type);
    std::error_code ec;
    if (!std::filesystem::exists(directory, ec)) {
        spdlog::info("Creating flight directory: {}", directory);
        std::filesystem::create_directories(directory, ec);
        if (ec || !std::filesystem::is_directory(directory, ec)) {
            spdlog::error("Failed to create flight directory {}", directory);
            return;
        }
    }
    if (!log_statistics_) return;
    auto logger =
        norvane::create_stats_logger(manet_addr, directory + "/" + norvane::get_log_name(".stats"));
    // A statistics file that cannot be opened leaves the stream without a statistics log.
    stream.sink.stats_logger = std::move(logger);
}

void Norvane::send_stream_stats(const norvane::Sink& sink) {
    const norvane::jitter::Stats& stats = sink.jitter_buffer.get_stats();
    msgs::video::video_stats msg;
    msg.missing_frames = stats.skipped_frames;
    msg.sequence_number = stats.sequence_number;
    msg.fragment_id = stats.fragment_id;
    if (msg.serialize(outgoing_) > 0) queue_for_sender(sink.sender_address, {});
    outgoing_.clear();
    if (sink.stats_logger) {
        norvane::log_stream_stats(*sink.stats_logger, clock_.now_us() - start_time_, stats);
    } else if (log_statistics_) {
        spdlog::error("Statistics log is enabled but logger is null!");
    }
}

void Norvane::queue_for_sender(const sockaddr_in& to, norvane::SendBatch::Tag tag) {
    if (send_batch_.full()) flush_to_senders();
    if (!send_batch_.add(outgoing_.data(), outgoing_.size(), to, tag)) {
        // Too long for a slot: sent on its own, after what was queued before it.
        flush_to_senders();
        const ssize_t sent = ::sendto(socket_, outgoing_.data(), outgoing_.size(), 0,
                                      reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        if (sent <= 0 && tag.report) {
            logger_->error("Failed to send retransmission request for seq {}, frag {}",
                           tag.sequence_number, tag.fragment_id);
        }
    }
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
