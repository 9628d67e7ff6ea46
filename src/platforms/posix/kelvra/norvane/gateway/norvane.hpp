#pragma once

#include <poll.h>
#include <spdlog/common.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kelvra/core/slice.hpp"
#include "kelvra/core/time.hpp"
#include "kelvra/msgs/video/messages.hpp"
#include "kelvra/norvane/gateway/stream.hpp"
#include "kelvra/norvane/ingest/datagram_ingest.hpp"
#include "kelvra/norvane/ingest/udp_batch.hpp"
#include "kelvra/norvane/jitter/constants.hpp"
#include "kelvra/norvane/process/runtime_manager.hpp"
#include "kelvra/norvane/signalling/signalling_client.hpp"

namespace kelvra {

// The gateway of the parent process: owns every piece of parent state and runs the
// single-threaded poll loop that drives ingest, signalling, children and the streams.
class Norvane : public norvane::SingallingClientHandler, public RuntimeManagerHandler {
public:
    static constexpr size_t kDatagramBufferSize = 1500;
    static constexpr size_t kOutgoingBufferSize = 10'485'760;
    static constexpr size_t kParseArenaSize = 4096;
    static constexpr int kPollTimeoutMs = 2;
    // The longest poll while nothing but stream_state reports can fall due (no stream with
    // recent data, no session, no child, the signalling connection up).
    static constexpr int kIdlePollTimeoutMs = 20;
    static constexpr int64_t kStreamStatePeriodUs = 1'000'000;
    static constexpr uint64_t kRetransmitBudget = 50;
    // recvmmsg calls of up to ReceiveBatch::kCapacity datagrams per turn: a flood of video
    // cannot hold back signalling, sessions and frame release for long.
    static constexpr size_t kReceiveCallsPerTurn = 4;
    // A stream without data for this long holds nothing a turn could release or request
    // (every record is purged after its lifetime), so the loop stops visiting it.
    static constexpr int64_t kActiveWindowUs = norvane::jitter::kRecordLifetimeUs + 1'000'000;
    static constexpr const char* kDefaultLogDirectory = "/opt/kelvra/norvane/";

    Norvane(int socket, std::unique_ptr<RuntimeManager> runtime_manager,
            std::unique_ptr<norvane::SignallingClient> signalling_client, std::string stun_url,
            std::string turn_url, spdlog::level::level_enum log_level, bool log_statistics,
            std::string save_dir, int64_t stream_timeout, bool save_statistics_to_file,
            const Clock& clock = monotonic_clock(),
            std::string log_directory = kDefaultLogDirectory);
    ~Norvane() override;
    Norvane(const Norvane&) = delete;
    Norvane& operator=(const Norvane&) = delete;

    // The main loop; returns when the runtime manager stops running.
    void run();

    // Addresses every session's ICE agent offers besides those it gathers itself.
    void set_ice_local_addresses(std::vector<std::string> addresses) {
        ice_local_addresses_ = std::move(addresses);
    }
    // The most time a frame of the streams announced from now on may wait for missing
    // fragments; unset, their jitter buffers follow the sender's round-trip figures.
    void set_latency_budget(std::optional<int64_t> latency_ms) {
        jitter_options_.latency_budget_us =
            latency_ms ? std::optional<int64_t>(*latency_ms * 1000) : std::nullopt;
    }
    // The bytes each stream may hold for frames not yet complete.
    void set_max_incomplete_bytes(uint64_t bytes) { jitter_options_.max_incomplete_bytes = bytes; }
    // Bounds of the run of frames since the latest keyframe that each stream announced from now
    // on keeps for viewers who join between keyframes.
    void set_catchup_limits(uint64_t max_bytes, size_t max_frames) {
        catchup_max_bytes_ = max_bytes;
        catchup_max_frames_ = max_frames;
    }
    // Recordings of the streams' released frames; off unless set.
    void set_recording(const norvane::RecordingSettings& settings) { recording_ = settings; }

    void on_signalling_message(const messgen::MessageInfo& info) override;
    void on_connect() override {}
    void on_disconnect() override {}
    void on_process_finished(int pid) override;

    // Ingest: drains the UDP socket in batches, up to kReceiveCallsPerTurn calls; the replies
    // to the senders go out together at the end of each batch.
    void read_video_data(const pollfd& entry);
    // Periodic work: requests and released frames of the streams that had data lately, and the
    // state report of every stream whose second has passed.
    void serve_streams(int64_t now);
    // Streams the loop currently visits, by key.
    const std::set<uint64_t>& active_streams() const { return active_streams_; }
    // How long the loop's next poll may wait at `now`.
    int poll_timeout_ms(int64_t now, bool has_sessions) const;
    // The same while only stream_state reports can fall due, the next after `next_due_us`
    // (negative: no stream).
    static int idle_poll_timeout_ms(int64_t next_due_us, int64_t now);

    const norvane::StreamMap& streams() const { return streams_; }
    const norvane::Blacklist& blacklist() const { return ingest_.blacklist(); }

private:
    // The datagram in slot `slot` of the receive batch through ingest; its reply is queued.
    void handle_datagram(size_t slot);
    // Queues `bytes` as one datagram to `to`.
    void queue_for_sender(ConstSlice<uint8_t> bytes, const sockaddr_in& to,
                          norvane::SendBatch::Tag tag);
    // Queues the shared outgoing buffer as one datagram to `to` and empties the buffer.
    void queue_for_sender(const sockaddr_in& to, norvane::SendBatch::Tag tag);
    void flush_to_senders();

    void handle_set_stream_message(const msgs::video::set_stream& msg);
    norvane::StreamMap::iterator add_video_stream(uint32_t manet_addr, uint8_t camera_type);
    std::string jitter_log_path() const;
    void terminate_stream(norvane::Stream& stream);
    void send_stream_state(const norvane::Stream& stream, int64_t now);

    void handle_session_request_message(const msgs::video::session_request& req);
    static bool has_session(const norvane::Stream& stream, uint64_t consumer_id);
    // Pipes, child and record of a new session; false (and logged) when any of them failed.
    bool spawn_session(norvane::Stream& stream, const msgs::video::session_request& req);
    void handle_session_terminate_message(const msgs::video::terminate_session& msg);
    void handle_session_message(const msgs::video::session_msg& msg);
    void terminate_webrtc_session(norvane::WebrtcSession& session);
    static void cleanup_webrtc_session(norvane::WebrtcSession& session);
    void read_session_pipe(const norvane::SessionPollContext& context);

    void send_new_frames(norvane::Stream& stream);
    // Starts the stream's recorder when recording is on and its flight has none running, and a
    // new one for a new flight.
    void update_recorder(norvane::Stream& stream, int64_t now);
    void stop_recorder(norvane::Stream& stream);
    // Forgets the recorder with this pid, which ended by itself; false when none has it.
    bool recorder_finished(int pid);
    void send_rentransmits(norvane::Sink& sink);

    // Sends the shared outgoing buffer to the signalling server and empties it.
    void send_signalling_buffer(uint8_t message_id);
    template <typename Message>
    void send_signalling_message(const Message& msg);

    int socket_;
    std::unique_ptr<RuntimeManager> runtime_manager_;
    std::unique_ptr<norvane::SignallingClient> signalling_client_;
    spdlog::level::level_enum log_level_;
    bool log_statistics_;
    const Clock& clock_;
    int64_t start_time_;
    std::string save_dir_;
    int64_t stream_timeout_;
    bool save_statistics_to_file_;
    std::string stun_url_;
    std::string turn_url_;
    std::vector<std::string> ice_local_addresses_;
    JitterBufferOptions jitter_options_;
    uint64_t catchup_max_bytes_ = norvane::CatchupCache::kDefaultMaxBytes;
    size_t catchup_max_frames_ = norvane::CatchupCache::kDefaultMaxFrames;
    std::string log_directory_;
    norvane::RecordingSettings recording_;
    std::shared_ptr<spdlog::logger> logger_;
    norvane::ReceiveBatch receive_batch_;
    norvane::SendBatch send_batch_;
    // The video_stats reply to the datagram being handled.
    std::array<uint8_t, norvane::SendBatch::kDatagramCapacity> reply_storage_{};
    norvane::StreamMap streams_;
    std::set<uint64_t> active_streams_;
    // (time after which the next stream_state is due, stream key), earliest first.
    std::set<std::pair<int64_t, uint64_t>> state_due_;
    // The session entries of the poll set are rebuilt only after sessions came or went.
    bool sessions_changed_ = true;
    norvane::DatagramIngest ingest_;
    std::vector<uint8_t> outgoing_;
    messgen::OwnedArena arena_{kParseArenaSize};
};

}  // namespace kelvra
