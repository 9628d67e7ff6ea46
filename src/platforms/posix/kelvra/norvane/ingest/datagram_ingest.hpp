#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kelvra/core/slice.hpp"
#include "kelvra/core/time.hpp"
#include "kelvra/manet/aes_gcm.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/msgs/video/video_datagram_codec.hpp"
#include "kelvra/norvane/ingest/blacklist.hpp"
#include "kelvra/norvane/ingest/log_fold.hpp"
#include "kelvra/norvane/ingest/msg_logger.hpp"
#include "kelvra/norvane/ingest/stream_key.hpp"
#include "kelvra/norvane/jitter/jitter_buffer.hpp"

namespace spdlog {
class logger;
}

namespace kelvra::norvane {

// Why a datagram was not taken. Each has its own log line, except kBlocked, which is silent.
enum class Refusal : uint8_t {
    kNone,             // accepted
    kBlocked,          // the source is blacklisted
    kTooShort,         // shorter than the smallest datagram
    kUnknownStream,    // counted against the source
    kUndecryptable,    // counted against the source
    kMalformedHeader,  // a header record is missing
};

// What became of one datagram.
struct IngestOutcome {
    Refusal refusal = Refusal::kNone;
    // Accepted: the stream the fragment went to, the fragment, and the video_stats reply to
    // the sender, written at the start of the caller's reply buffer (empty when it did not fit).
    uint64_t stream_key = 0;
    msgs::video::video_fragment_info fragment;
    ConstSlice<uint8_t> reply;

    bool accepted() const { return refusal == Refusal::kNone; }
};

// The whole way of one video datagram: blacklist gate, clear part, the stream's key, both
// sections authenticated and decrypted in place, the header area walked, the fragment into
// the stream's jitter buffer, and the video_stats reply. Owns the blacklist, the message log and
// the folding of the error lines that untrusted input causes; the buffers are the caller's.
class DatagramIngest {
public:
    struct Settings {
        std::string save_dir{};       // flight directories go below it
        bool log_statistics = false;  // a statistics file per flight
        int64_t start_time_us = 0;    // statistics records carry the time since then
        std::string msg_log_path{};   // the decrypted header areas, one line each
        bool save_msg_log = false;
    };

    DatagramIngest(std::shared_ptr<spdlog::logger> logger, const Clock& clock, Settings settings);

    // Takes one received datagram from `sender`. `datagram` is the receive buffer (its size the
    // received length); it is decrypted in place, so its bytes are spent afterwards. `streams`
    // maps stream keys to records with the members `cipher`, `camera_type`, `flight_id`,
    // `last_data_time`, `bitrate`, `video_format` and `sink` (`jitter_buffer`,
    // `sender_address`, `stats_logger`); it is looked up once. (The stream record belongs to
    // the gateway, which builds on this layer, hence the template.) The reply is written to
    // `reply`.
    template <typename Streams>
    IngestOutcome handle(Slice<uint8_t> datagram, const sockaddr_in& sender, Streams& streams,
                         Slice<uint8_t> reply);

    // A receive that failed with `result`.
    void receive_failed(long result);

    // Writes the summaries of the folded lines whose second is over; once per turn.
    void flush_log() { input_log_.flush(); }

    const Blacklist& blacklist() const { return blacklist_; }

private:
    // The datagram's decrypted header records and fragment, or why it was refused.
    struct Opened {
        Refusal refusal = Refusal::kNone;
        msgs::video::DatagramHeader header;
    };

    // Gate and size check; the clear part of a datagram that may go on.
    std::optional<msgs::video::DatagramAddress> admit(ConstSlice<uint8_t> datagram, uint32_t source,
                                                      Refusal& refusal);
    Refusal unknown_stream(uint32_t manet_addr, uint32_t source);
    Opened open(Slice<uint8_t> datagram, manet::AesGcm& cipher, uint32_t source);
    // The flight's directory, and its statistics file when those are kept.
    void start_flight(std::shared_ptr<spdlog::logger>& stats_logger, uint32_t manet_addr,
                      int32_t flight_id, uint8_t camera_type);
    // The video_stats reply into `reply`, and the statistics record.
    ConstSlice<uint8_t> report(const JitterBuffer& buffer,
                               const std::shared_ptr<spdlog::logger>& stats_logger,
                               Slice<uint8_t> reply);
    void trace_fragment(const msgs::video::video_fragment_info& info, uint32_t manet_addr,
                        uint8_t camera_type);

    std::shared_ptr<spdlog::logger> logger_;
    const Clock& clock_;
    Settings settings_;
    Blacklist blacklist_;
    LogFold input_log_;
    MsgLogger msg_logger_;
};

template <typename Streams>
IngestOutcome DatagramIngest::handle(Slice<uint8_t> datagram, const sockaddr_in& sender,
                                     Streams& streams, Slice<uint8_t> reply) {
    const uint32_t source = sender.sin_addr.s_addr;
    IngestOutcome outcome;
    const auto address = admit(datagram.view(), source, outcome.refusal);
    if (!address) return outcome;
    outcome.stream_key = stream_key(address->manet_addr, address->camera_type);
    const auto found = streams.find(outcome.stream_key);
    if (found == streams.end()) {
        outcome.refusal = unknown_stream(address->manet_addr, source);
        return outcome;
    }
    auto& stream = found->second;
    const Opened opened = open(datagram, stream.cipher, source);
    if (opened.refusal != Refusal::kNone) {
        outcome.refusal = opened.refusal;
        return outcome;
    }

    const msgs::video::control_data& control = opened.header.control;
    outcome.fragment = opened.header.fragment_info;
    trace_fragment(outcome.fragment, address->manet_addr, address->camera_type);
    stream.last_data_time = clock_.now_us();
    stream.bitrate = control.bitrate_est;
    stream.video_format = control.video_format;
    if (control.flight_id != stream.flight_id) {
        if (control.flight_id != -1) {
            start_flight(stream.sink.stats_logger, address->manet_addr, control.flight_id,
                         stream.camera_type);
        }
        stream.flight_id = control.flight_id;
    }
    // Requests and statistics go to where the latest datagram came from.
    stream.sink.sender_address = sender;
    stream.sink.jitter_buffer.push_fragment(outcome.fragment, opened.header.fragment,
                                            control.video_format);
    stream.sink.jitter_buffer.update_roundtrip(control);
    outcome.reply = report(stream.sink.jitter_buffer, stream.sink.stats_logger, reply);
    return outcome;
}

}  // namespace kelvra::norvane
