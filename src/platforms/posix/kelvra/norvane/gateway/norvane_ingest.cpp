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
void log_short_records(const msgs::video::DatagramHeader& header, spdlog::logger& log) {
    for (size_t i = 0; i < header.short_record_count; ++i) {
        if (header.short_records[i] == msgs::video::HeaderRecord::kFragmentInfo)
            log.error("Failed to parse video fragment message");
        else
            log.error("VideoReceiver, Failed to parse control_data message!");
    }
}

}  // namespace

void Norvane::read_video_data(const pollfd& /*entry*/) {
    receive_buffer_.size = 0;
    plaintext_buffer_.size = 0;
    sockaddr_in sender{};
    socklen_t sender_len = sizeof(sender);
    const ssize_t received = ::recvfrom(socket_, receive_buffer_.data, receive_buffer_.capacity, 0,
                                        reinterpret_cast<sockaddr*>(&sender), &sender_len);
    const uint32_t source = sender.sin_addr.s_addr;

    if (blacklist_.is_blocked(source)) return;
    if (received < 0) {
        logger_->error("Recvfrom failed. Error {}", received);
        return;
    }
    const auto n = static_cast<size_t>(received);
    const auto clear_part = msgs::video::read_datagram_address({receive_buffer_.data, n});
    if (!clear_part) {
        logger_->error("Received less then minimum allowed bytes in encrypted datagram: {} < {}", n,
                       kMinDatagramSize);
        return;
    }

    const msgs::video::DatagramAddress address = *clear_part;
    receive_buffer_.size = n;
    const auto stream = streams_.find(norvane::stream_key(address.manet_addr, address.camera_type));
    if (stream == streams_.end()) {
        logger_->error("Received data from non-existent stream with manet address {:x}",
                       address.manet_addr);
        blacklist_.add_error(source);
        return;
    }
    if (!decrypt_video_data(stream)) {
        logger_->error("Failed to decrypt video data");
        blacklist_.add_error(source);
        return;
    }

    const msgs::video::DatagramHeader header =
        msgs::video::parse_header_area(plaintext_buffer_.view());
    log_short_records(header, *logger_);
    if (header.consumed != kHeaderAreaSize) {
        spdlog::error("DATA SIZE MISMATCH! {} != {}, recv = {}", header.consumed, kHeaderAreaSize,
                      n);
    }
    msg_logger_.log_header(header.area.data, header.area.size);
    if (!header.has_fragment_info || !header.has_control) {
        logger_->error("Wrong datagram data received!");
        return;
    }
    handle_video_message(header.fragment_info, header.control, address.manet_addr,
                         address.camera_type, header.fragment, sender);
}

bool Norvane::decrypt_video_data(norvane::StreamMap::iterator stream) {
    const auto result = msgs::video::decrypt_video_datagram(
        receive_buffer_.view(), stream->second.cipher, plaintext_buffer_);
    if (result == msgs::video::DecryptResult::kControlFailed)
        logger_->error("Failed to decrypt control data");
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
    stream.bitrate = control.bitrate_est;
    stream.video_format = control.video_format;
    if (control.flight_id != stream.flight_id) {
        if (control.flight_id != -1) handle_new_flight(stream, control, manet_addr);
        stream.flight_id = control.flight_id;
    }
    stream.sink.sender_address = sender;
    stream.sink.jitter_buffer.push_fragment(fragment_info, payload);
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
    if (msg.serialize(outgoing_) > 0) {
        ::sendto(socket_, outgoing_.data(), outgoing_.size(), 0,
                 reinterpret_cast<const sockaddr*>(&sink.sender_address),
                 sizeof(sink.sender_address));
    }
    outgoing_.clear();
    if (sink.stats_logger) {
        norvane::log_stream_stats(*sink.stats_logger, clock_.now_us() - start_time_, stats);
    } else if (log_statistics_) {
        spdlog::error("Statistics log is enabled but logger is null!");
    }
}

}  // namespace kelvra
