#include "kelvra/norvane/gateway/norvane.hpp"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <filesystem>

#include "kelvra/norvane/ingest/flight_recorder.hpp"

namespace kelvra {
namespace {

constexpr size_t kPollReserve = 128;
constexpr size_t kFixedPollEntries = 3;  // UDP socket, signal descriptor, signalling socket

std::shared_ptr<spdlog::logger> make_gateway_logger(spdlog::level::level_enum level) {
    auto logger = spdlog::stdout_logger_st("Norvane");
    logger->set_level(level);
    logger->flush_on(level);
    logger->set_pattern("%n [%H:%M:%S --- %f] [%L]: %v", spdlog::pattern_time_type::local);
    return logger;
}

std::string prepare_log_directory(std::string directory, bool enabled) {
    // The log files are only opened when enabled; a missing directory would lose them silently.
    if (enabled) {
        std::error_code ec;
        std::filesystem::create_directories(directory, ec);
    }
    return directory;
}

}  // namespace

Norvane::Norvane(int socket, std::unique_ptr<RuntimeManager> runtime_manager,
                 std::unique_ptr<norvane::SignallingClient> signalling_client, std::string stun_url,
                 std::string turn_url, spdlog::level::level_enum log_level, bool log_statistics,
                 std::string save_dir, int64_t stream_timeout, bool save_statistics_to_file,
                 const Clock& clock, std::string log_directory)
    : socket_(socket),
      runtime_manager_(std::move(runtime_manager)),
      signalling_client_(std::move(signalling_client)),
      log_level_(log_level),
      log_statistics_(log_statistics),
      clock_(clock),
      start_time_(clock.now_us()),
      save_dir_(std::move(save_dir)),
      stream_timeout_(stream_timeout),
      save_statistics_to_file_(save_statistics_to_file),
      stun_url_(std::move(stun_url)),
      turn_url_(std::move(turn_url)),
      log_directory_(prepare_log_directory(std::move(log_directory), save_statistics_to_file)),
      logger_(make_gateway_logger(log_level)),
      ingest_(logger_, clock,
              {.save_dir = save_dir_,
               .log_statistics = log_statistics,
               .start_time_us = start_time_,
               .msg_log_path = log_directory_ + "msg_log_" + norvane::local_time_stamp() + ".csv",
               .save_msg_log = save_statistics_to_file}) {
    outgoing_.reserve(kOutgoingBufferSize);
    signalling_client_->set_handler(this);
    runtime_manager_->set_handler(this);
}

Norvane::~Norvane() {
    // Other objects may be created later under the same name (tests run several gateways).
    spdlog::drop("Norvane");
}

void Norvane::run() {
    std::vector<pollfd> poll_set;
    poll_set.reserve(kPollReserve);
    std::vector<norvane::SessionPollContext> contexts;
    contexts.reserve(kPollReserve);
    poll_set.assign(kFixedPollEntries, pollfd{-1, 0, 0});

    while (runtime_manager_->should_run()) {
        poll_set[0] = pollfd{socket_, POLLIN, 0};
        runtime_manager_->set_pollfd(poll_set[1]);
        signalling_client_->set_pollfd(poll_set[2]);
        if (sessions_changed_) {
            sessions_changed_ = false;
            poll_set.resize(kFixedPollEntries);
            contexts.clear();
            for (auto it = streams_.begin(); it != streams_.end(); ++it) {
                for (size_t i = 0; i < it->second.sessions.size(); ++i) {
                    poll_set.push_back(
                        pollfd{it->second.sessions[i].from_child_read.get(), POLLIN, 0});
                    contexts.push_back({it, i});
                }
            }
        }

        const int timeout = poll_timeout_ms(clock_.now_us(), poll_set.size() > kFixedPollEntries);
        const int ready = ::poll(poll_set.data(), poll_set.size(), timeout);
        if (ready < 0) {
            logger_->critical("Poll call failed!");
            std::exit(1);
        }
        if (ready > 0) {
            if (poll_set[0].revents & POLLIN) {
                read_video_data(poll_set[0]);
                poll_set[0].revents = 0;
            }
            // Reading a pipe may end sessions; walk by index against the contexts taken above.
            for (size_t i = 0; i < contexts.size(); ++i) {
                pollfd& entry = poll_set[kFixedPollEntries + i];
                if (entry.revents & POLLIN) {
                    read_session_pipe(contexts[i]);
                    entry.revents = 0;
                }
            }
        }

        const int64_t now = clock_.now_us();
        runtime_manager_->update(poll_set[1]);
        poll_set[1].revents = 0;
        signalling_client_->update(poll_set[2], now);
        poll_set[2].revents = 0;
        serve_streams(now);
        ingest_.flush_log();
    }
}

int Norvane::poll_timeout_ms(int64_t now, bool has_sessions) const {
    // Frames, requests, session traffic, children's deadlines and reconnection attempts keep
    // the usual pace; a recorder waiting for frames does not.
    if (!active_streams_.empty() || has_sessions || runtime_manager_->has_deadlines() ||
        !signalling_client_->connected()) {
        return kPollTimeoutMs;
    }
    return idle_poll_timeout_ms(state_due_.empty() ? -1 : state_due_.begin()->first, now);
}

int Norvane::idle_poll_timeout_ms(int64_t next_due_us, int64_t now) {
    // A report goes out in the first turn strictly after its due time.
    int64_t wait_us = int64_t{kIdlePollTimeoutMs} * 1000;
    if (next_due_us >= 0) wait_us = std::min(wait_us, next_due_us + 1 - now);
    const int64_t wait_ms = (wait_us + 999) / 1000;
    return static_cast<int>(std::clamp<int64_t>(wait_ms, kPollTimeoutMs, kIdlePollTimeoutMs));
}

void Norvane::serve_streams(int64_t now) {
    // Idle streams cost nothing here: only those that had data lately can have work due.
    for (auto key = active_streams_.begin(); key != active_streams_.end();) {
        const auto it = streams_.find(*key);
        if (it == streams_.end()) {
            key = active_streams_.erase(key);
            continue;
        }
        norvane::Stream& stream = it->second;
        send_rentransmits(stream.sink);
        send_new_frames(stream);
        key = stream.last_data_time + kActiveWindowUs < now ? active_streams_.erase(key)
                                                            : std::next(key);
    }
    flush_to_senders();

    // Every report is due a second after the previous one, so the earliest due comes first;
    // the entry is moved, not reallocated.
    while (!state_due_.empty() && state_due_.begin()->first < now) {
        auto entry = state_due_.extract(state_due_.begin());
        const auto it = streams_.find(entry.value().second);
        if (it == streams_.end()) continue;
        norvane::Stream& stream = it->second;
        send_stream_state(stream, now);
        stream.last_state_time = now;
        entry.value().first = now + kStreamStatePeriodUs;
        state_due_.insert(std::move(entry));
    }
}

}  // namespace kelvra
