// Stream registry: streams announced by the signalling server and their per-second reports.

#include <spdlog/spdlog.h>

#include "kelvra/norvane/gateway/norvane.hpp"
#include "kelvra/norvane/ingest/flight_recorder.hpp"

namespace kelvra {

void Norvane::handle_set_stream_message(const msgs::video::set_stream& msg) {
    const auto it = streams_.find(norvane::stream_key(msg.manet_addr, msg.camera_type));
    const unsigned camera = msg.camera_type;
    if (it != streams_.end()) {
        if (msg.enabled == 0) {
            logger_->info("Deleting stream with manet address {:x} and camera {}", msg.manet_addr,
                          camera);
            terminate_stream(it->second);
            active_streams_.erase(it->first);
            state_due_.erase({it->second.last_state_time + kStreamStatePeriodUs, it->first});
            streams_.erase(it);
            sessions_changed_ = true;
        } else {
            logger_->warn("Video stream with manet address {:x} and camera {} already exists",
                          msg.manet_addr, camera);
        }
        return;
    }
    if (msg.enabled == 0) {
        logger_->warn("Video stream with manet address {:x} and camera {} does not exist",
                      msg.manet_addr, camera);
        return;
    }
    logger_->info("Add new stream with manet address {:x} and camera {}", msg.manet_addr, camera);
    const auto added = add_video_stream(msg.manet_addr, msg.camera_type);
    if (added == streams_.end()) {
        logger_->error("Failed to add video stream with address {:x} and camera {}", msg.manet_addr,
                       camera);
        return;
    }
    added->second.cipher.set_key(msg.key);
}

norvane::StreamMap::iterator Norvane::add_video_stream(uint32_t manet_addr, uint8_t camera_type) {
    JitterBufferLogger jitter_log(jitter_log_path());
    if (save_statistics_to_file_) {
        jitter_log.open();
        spdlog::info("JitterBufferLogger opened {}", jitter_log.file_name());
    }
    const uint64_t key = norvane::stream_key(manet_addr, camera_type);
    const auto [it, inserted] = streams_.try_emplace(
        key, manet_addr, camera_type, JitterBuffer(std::move(jitter_log), clock_, jitter_options_));
    if (!inserted) {
        logger_->error("Failed to insert new stream into map!");
        return it;
    }
    if (!it->second.cipher.valid()) {
        streams_.erase(it);
        return streams_.end();
    }
    it->second.catchup = norvane::CatchupCache(catchup_max_bytes_, catchup_max_frames_);
    state_due_.emplace(it->second.last_state_time + kStreamStatePeriodUs, key);
    return it;
}

std::string Norvane::jitter_log_path() const {
    const std::string base = log_directory_ + "jitter_log_" + norvane::local_time_stamp();
    // Names have a resolution of one second: a second stream created within the same second
    // gets a numbered name instead of truncating the first one's log.
    std::string path = base + ".csv";
    for (int n = 2;; ++n) {
        bool taken = false;
        for (const auto& [key, stream] : streams_) {
            taken = taken || stream.sink.jitter_buffer.logger().file_name() == path;
        }
        if (!taken) return path;
        path = base + "_" + std::to_string(n) + ".csv";
    }
}

void Norvane::terminate_stream(norvane::Stream& stream) {
    for (norvane::WebrtcSession& session : stream.sessions) terminate_webrtc_session(session);
    stop_recorder(stream);
}

void Norvane::send_stream_state(const norvane::Stream& stream, int64_t now) {
    const norvane::jitter::Stats& stats = stream.sink.jitter_buffer.get_stats();
    msgs::video::stream_state msg;
    msg.manet_addr = stream.manet_addr;
    msg.min_roundtrip = static_cast<uint32_t>(stats.min_roundtrip);
    msg.max_roundtrip = static_cast<uint32_t>(stats.max_roundtrip);
    msg.lost_frames = stats.skipped_frames;
    msg.delayed_frames = stats.delayed_frames;
    msg.broken_frames = 0;
    msg.retransmissions_number = stats.retransmissions_number;
    msg.duplicates_number = stats.duplicates_number;
    msg.bitrate_est = stream.bitrate;
    msg.camera_type = stream.camera_type;
    msg.video_available = stream.last_data_time + stream_timeout_ > now ? 1 : 0;
    send_signalling_message(msg);
}

template <typename Message>
void Norvane::send_signalling_message(const Message& msg) {
    if (msg.serialize(outgoing_) < 0) {
        logger_->error("Failed to serialize signalling message {}!", Message::TYPE);
        outgoing_.clear();
        return;
    }
    send_signalling_buffer(Message::TYPE);
}

void Norvane::send_signalling_buffer(uint8_t message_id) {
    if (!signalling_client_->send(outgoing_.data(), outgoing_.size())) {
        logger_->error("Failed to send signalling message {}!", message_id);
    }
    outgoing_.clear();
}

template void Norvane::send_signalling_message(const msgs::video::session_response&);

}  // namespace kelvra
