#include "kelvra/norvane/ingest/datagram_ingest.hpp"

#include <spdlog/spdlog.h>

#include <filesystem>

#include "kelvra/msgs/video/video_datagram.hpp"
#include "kelvra/norvane/ingest/flight_recorder.hpp"

namespace kelvra::norvane {

namespace video = msgs::video;

DatagramIngest::DatagramIngest(std::shared_ptr<spdlog::logger> logger, const Clock& clock,
                               Settings settings)
    : logger_(std::move(logger)),
      clock_(clock),
      settings_(std::move(settings)),
      blacklist_(logger_, clock),
      input_log_(clock),
      msg_logger_(settings_.msg_log_path, settings_.save_msg_log) {}

void DatagramIngest::receive_failed(long result) {
    // A failed receive names no sender: the gate looks at the zeroed address.
    if (blacklist_.is_blocked(0)) return;
    input_log_.error(logger_, 0, "Recvfrom failed. Error {}", result);
}

std::optional<video::DatagramAddress> DatagramIngest::admit(ConstSlice<uint8_t> datagram,
                                                            uint32_t source, Refusal& refusal) {
    if (blacklist_.is_blocked(source)) {
        refusal = Refusal::kBlocked;
        return std::nullopt;
    }
    const auto address = video::read_datagram_address(datagram);
    if (!address) {
        input_log_.error(logger_, source,
                         "Received less then minimum allowed bytes in encrypted datagram: {} < {}",
                         datagram.size, video::kMinDatagramSize);
        refusal = Refusal::kTooShort;
    }
    return address;
}

Refusal DatagramIngest::unknown_stream(uint32_t manet_addr, uint32_t source) {
    input_log_.error(logger_, source,
                     "Received data from non-existent stream with manet address {:x}", manet_addr);
    blacklist_.add_error(source);
    return Refusal::kUnknownStream;
}

DatagramIngest::Opened DatagramIngest::open(Slice<uint8_t> datagram, manet::AesGcm& cipher,
                                            uint32_t source) {
    Opened opened;
    ConstSlice<uint8_t> plaintext{};
    const auto result = video::open_video_datagram(datagram, cipher, plaintext);
    if (result != video::DecryptResult::kOk) {
        if (result == video::DecryptResult::kControlFailed)
            input_log_.error(logger_, source, "Failed to decrypt control data");
        input_log_.error(logger_, source, "Failed to decrypt video data");
        blacklist_.add_error(source);
        opened.refusal = Refusal::kUndecryptable;
        return opened;
    }

    video::DatagramHeader& header = opened.header;
    header = video::parse_header_area(plaintext);
    for (size_t i = 0; i < header.short_record_count; ++i) {
        if (header.short_records[i] == video::HeaderRecord::kFragmentInfo)
            input_log_.error(logger_, source, "Failed to parse video fragment message");
        else
            input_log_.error(logger_, source,
                             "VideoReceiver, Failed to parse control_data message!");
    }
    if (header.consumed != video::kHeaderAreaSize) {
        input_log_.error(spdlog::default_logger(), source,
                         "DATA SIZE MISMATCH! {} != {}, recv = {}", header.consumed,
                         video::kHeaderAreaSize, datagram.size);
    }
    msg_logger_.log_header(header.area.data, header.area.size);
    if (!header.has_fragment_info || !header.has_control) {
        input_log_.error(logger_, source, "Wrong datagram data received!");
        opened.refusal = Refusal::kMalformedHeader;
    }
    return opened;
}

void DatagramIngest::trace_fragment(const video::video_fragment_info& info, uint32_t manet_addr,
                                    uint8_t camera_type) {
    logger_->trace("Got fragment {}, seq={}, addr: {}, camera type: {}", info.fragment_id,
                   info.sequence_number, manet_addr, camera_type);
}

void DatagramIngest::start_flight(std::shared_ptr<spdlog::logger>& stats_logger,
                                  uint32_t manet_addr, int32_t flight_id, uint8_t camera_type) {
    const std::string directory =
        flight_directory(settings_.save_dir, manet_addr, flight_id, camera_type);
    std::error_code ec;
    if (!std::filesystem::exists(directory, ec)) {
        spdlog::info("Creating flight directory: {}", directory);
        std::filesystem::create_directories(directory, ec);
        if (ec || !std::filesystem::is_directory(directory, ec)) {
            spdlog::error("Failed to create flight directory {}", directory);
            return;
        }
    }
    if (!settings_.log_statistics) return;
    // A statistics file that cannot be opened leaves the stream without a statistics log.
    stats_logger = create_stats_logger(manet_addr, directory + "/" + get_log_name(".stats"));
}

ConstSlice<uint8_t> DatagramIngest::report(const JitterBuffer& buffer,
                                           const std::shared_ptr<spdlog::logger>& stats_logger,
                                           Slice<uint8_t> reply) {
    const jitter::Stats& stats = buffer.get_stats();
    video::video_stats msg;
    msg.missing_frames = stats.skipped_frames;
    msg.sequence_number = stats.sequence_number;
    msg.fragment_id = stats.fragment_id;
    reply.size = 0;
    const int written = msg.serialize(reply);
    if (stats_logger) {
        log_stream_stats(*stats_logger, clock_.now_us() - settings_.start_time_us, stats);
    } else if (settings_.log_statistics) {
        spdlog::error("Statistics log is enabled but logger is null!");
    }
    return written > 0 ? reply.view() : ConstSlice<uint8_t>{};
}

}  // namespace kelvra::norvane
