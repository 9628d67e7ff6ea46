#include "sender_app.hpp"

#include <fmt/core.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "detections.hpp"
#include "encoder_source.hpp"
#include "ivf_file_source.hpp"

namespace kelvra::norvane::sender {
namespace {

constexpr double kDefaultFps = 30.0;
constexpr size_t kShortDatagramSize = 92;  // one byte below the smallest valid datagram
constexpr int kMaxReceivesPerWake = 64;

// Blocks SIGINT and SIGTERM (in this thread and every thread started later) and returns a
// descriptor that reports them.
UniqueFd block_stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) return {};
    return UniqueFd(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
}

IvfHeader ivf_header_for(const FrameSource& source, double fps) {
    IvfHeader h;
    h.format = source.format();
    h.width = static_cast<uint16_t>(source.width());
    h.height = static_cast<uint16_t>(source.height());
    if (std::floor(fps) == fps) {
        h.rate = static_cast<uint32_t>(fps);
        h.scale = 1;
    } else {
        h.rate = static_cast<uint32_t>(std::lround(fps * 1000.0));
        h.scale = 1000;
    }
    return h;
}

void print_counters(std::FILE* out, const char* prefix, const StreamCounters& c) {
    fmt::print(out,
               "{}frames={} fragments={} datagrams={} resends={} stats={} requests={} "
               "unanswered={} dropped={} duplicated={} ignored={} send_errors={} bytes={} "
               "missing={}\n",
               prefix, c.frames, c.fragments, c.datagrams, c.resends, c.stats, c.requests,
               c.unanswered, c.dropped, c.duplicated, c.ignored, c.send_errors, c.bytes,
               c.last_missing);
}

}  // namespace

SenderApp::SenderApp(const SenderOptions& options, const Clock& clock)
    : options_(options), clock_(clock), next_frame_number_(options.first_frame) {}

bool SenderApp::set_up() {
    // Before any thread exists, so that GStreamer's threads inherit the blocked mask.
    signals_ = block_stop_signals();
    if (!signals_) {
        fmt::print(stderr, "norvane-sender: cannot set up signal handling: {}\n",
                   std::strerror(errno));
        return false;
    }

    std::string error;
    if (options_.source == SourceKind::Ivf) {
        source_ = IvfFileSource::open(options_.ivf_path, options_.loop, error);
    } else {
        EncoderSettings enc;
        enc.format = options_.encode_format;
        enc.width = options_.width;
        enc.height = options_.height;
        enc.fps = options_.fps.value_or(kDefaultFps);
        enc.keyframe_interval = options_.keyframe_interval;
        enc.bitrate_kbps = options_.bitrate_kbps;
        enc.pattern = options_.pattern;
        enc.frames = options_.frames;
        source_ = EncoderSource::open(enc, error);
    }
    if (!source_) {
        fmt::print(stderr, "norvane-sender: {}\n", error);
        return false;
    }
    fps_ = options_.fps.value_or(source_->fps().value_or(kDefaultFps));
    history_ = std::make_unique<FrameHistory>(FrameHistory::frames_for(fps_));

    if (!options_.save_ivf.empty()) {
        ivf_out_ = IvfFileWriter::create(options_.save_ivf, ivf_header_for(*source_, fps_), error);
        if (!ivf_out_) {
            fmt::print(stderr, "norvane-sender: {}\n", error);
            return false;
        }
    }

    if (!options_.frame_times.empty()) {
        frame_times_.reset(std::fopen(options_.frame_times.c_str(), "w"));
        if (!frame_times_) {
            fmt::print(stderr, "norvane-sender: cannot create {}: {}\n", options_.frame_times,
                       std::strerror(errno));
            return false;
        }
    }

    StreamKey key = options_.key;
    if (options_.wrong_key)
        for (auto& b : key) b = static_cast<uint8_t>(b ^ 0xff);

    streams_.reserve(options_.streams);
    for (uint32_t i = 0; i < options_.streams; ++i) {
        StreamSettings settings;
        settings.address = {options_.manet_addr + i, options_.camera};
        settings.min_rtt_us = options_.min_rtt_us;
        settings.max_rtt_us = options_.max_rtt_us;
        settings.flight_id = options_.flight_id;
        settings.format = source_->format();
        settings.truncate_to = options_.short_datagrams ? kShortDatagramSize : 0;
        // Each stream draws its own impairments; the first one uses the seed as given.
        ImpairmentSettings impairments = options_.impairments;
        impairments.seed += uint64_t{i} * 0x9e3779b97f4a7c15ULL;

        auto socket = UdpSocket::connect_to(options_.gateway_host, options_.gateway_port, error);
        if (!socket) {
            fmt::print(stderr, "norvane-sender: {}\n", error);
            return false;
        }
        auto sender = std::make_unique<StreamSender>(settings, impairments, ivs_);
        if (!sender->set_key(key.data())) {
            fmt::print(stderr, "norvane-sender: cannot install the stream key\n");
            return false;
        }
        if (options_.verbose)
            fmt::print(stderr, "norvane-sender: stream {:08x}/{} sends from port {}\n",
                       settings.address.manet_addr, settings.address.camera_type,
                       socket->local_port());
        streams_.push_back(Stream{std::move(sender), std::move(*socket)});
    }
    return true;
}

void SenderApp::send_next_frame(int64_t now_us) {
    SourceFrame frame;
    if (!source_->next(frame)) {
        source_done_ = true;
        return;
    }
    ++frames_read_;
    const uint32_t number = next_frame_number_++;
    StoredFrame& stored = history_->store(number, frame.keyframe, frame.bytes);
    if (options_.detections > 0) {
        make_detections_fragment(number, options_.detections, source_->width(), source_->height(),
                                 stored.detections);
        stored.with_detections = true;
    }
    if (ivf_out_ && !ivf_out_->write(frame.bytes)) {
        fmt::print(stderr, "norvane-sender: cannot write {}; no longer saving frames\n",
                   options_.save_ivf);
        ivf_out_.reset();
    }
    for (auto& s : streams_) s.sender->send_frame(stored, now_us);
    // Wall-clock time, so that it can be set against another program's log.
    if (frame_times_)
        fmt::print(frame_times_.get(), "{} {} {}\n", number, time_utc_us(now_us),
                   frame.keyframe ? 1 : 0);
}

void SenderApp::receive(Stream& stream, int64_t now_us) {
    std::array<uint8_t, kMaxDatagramSize> buffer;
    for (int i = 0; i < kMaxReceivesPerWake; ++i) {
        const ssize_t n = stream.socket.receive(buffer.data(), buffer.size());
        if (n < 0) return;  // nothing left, or a reported error now consumed
        const ConstSlice<uint8_t> datagram{buffer.data(), static_cast<uint64_t>(n)};
        stream.sender->on_feedback(datagram, now_us);
        if (!options_.verbose) continue;
        const auto addr = stream.sender->settings().address.manet_addr;
        const Feedback feedback = parse_feedback(datagram);
        if (const auto* r = std::get_if<msgs::video::video_retransmit_request>(&feedback))
            fmt::print(stderr, "norvane-sender: {:08x} request seq={} frag={}\n", addr,
                       r->sequence_number, r->fragment_id);
        else if (const auto* st = std::get_if<msgs::video::video_stats>(&feedback))
            fmt::print(stderr, "norvane-sender: {:08x} stats missing={} seq={} frag={}\n", addr,
                       st->missing_frames, st->sequence_number, st->fragment_id);
        else
            fmt::print(stderr, "norvane-sender: {:08x} ignored a datagram of {} bytes\n", addr, n);
    }
}

int SenderApp::run() {
    if (!set_up()) return kExitSetupFailed;

    const int64_t start_us = clock_.now_us();
    const auto period_us = static_cast<int64_t>(std::llround(1e6 / fps_));
    const int64_t stop_at_us = options_.duration_s
                                   ? start_us + static_cast<int64_t>(*options_.duration_s * 1e6)
                                   : std::numeric_limits<int64_t>::max();
    int64_t next_frame_us = start_us;
    int64_t linger_until_us = 0;

    std::vector<pollfd> fds(1 + streams_.size());
    fds[0] = {signals_.get(), POLLIN, 0};
    for (size_t i = 0; i < streams_.size(); ++i) fds[1 + i] = {streams_[i].socket.fd(), POLLIN, 0};

    int status = kExitOk;
    for (;;) {
        int64_t now_us = clock_.now_us();
        if (!source_done_ && now_us >= next_frame_us) {
            if (now_us >= stop_at_us) {
                source_done_ = true;
            } else {
                send_next_frame(now_us);
                if (options_.frames && frames_read_ >= *options_.frames) source_done_ = true;
            }
            if (source_done_) linger_until_us = now_us + options_.linger_us;
            next_frame_us += period_us;
            // Running late (a slow encoder, a stalled machine): skip the backlog instead of
            // bursting frames to catch up.
            if (next_frame_us < now_us - period_us) next_frame_us = now_us;
        }
        for (auto& s : streams_) {
            s.sender->serve_requests(*history_, now_us);
            s.sender->flush(now_us, s.socket);
        }

        // After the linger time no new requests are taken; what is queued still goes out.
        const bool draining = source_done_ && now_us >= linger_until_us;
        if (draining) {
            bool idle = true;
            for (const auto& s : streams_) idle = idle && s.sender->idle();
            if (idle) break;
        }

        int64_t deadline_us = !source_done_ ? next_frame_us
                              : draining    ? std::numeric_limits<int64_t>::max()
                                            : linger_until_us;
        for (const auto& s : streams_)
            if (const auto due = s.sender->next_due_us(); due && *due < deadline_us)
                deadline_us = *due;
        now_us = clock_.now_us();
        const int64_t wait_us = deadline_us > now_us ? deadline_us - now_us : 0;
        const timespec timeout{static_cast<time_t>(wait_us / 1'000'000),
                               static_cast<long>(wait_us % 1'000'000) * 1000};
        const nfds_t polled = draining ? 1 : static_cast<nfds_t>(fds.size());
        const int ready = ppoll(fds.data(), polled, &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            fmt::print(stderr, "norvane-sender: poll failed: {}\n", std::strerror(errno));
            status = kExitSetupFailed;
            break;
        }
        if (ready == 0) continue;
        // What has arrived is counted before a stop signal is acted on.
        now_us = clock_.now_us();
        for (size_t i = 0; i + 1 < polled; ++i)
            if (fds[1 + i].revents & (POLLIN | POLLERR)) receive(streams_[i], now_us);
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (::read(signals_.get(), &info, sizeof(info)) == sizeof(info))
                fmt::print(stderr, "norvane-sender: stopping on signal {}\n", info.ssi_signo);
            break;
        }
    }

    ivf_out_.reset();
    frame_times_.reset();
    print_summary(clock_.now_us() - start_us);
    if (status == kExitOk && options_.expect_stats && totals().stats == 0) status = kExitNoStats;
    return status;
}

StreamCounters SenderApp::totals() const {
    StreamCounters total;
    for (const auto& s : streams_) total += s.sender->counters();
    return total;
}

void SenderApp::print_summary(int64_t elapsed_us) const {
    const StreamCounters t = totals();
    fmt::print(
        "norvane-sender: {} frames to {} stream(s) in {:.1f} s: {} fragments, {} datagrams "
        "({} bytes), {} resends; network: {} dropped, {} duplicated; {} send errors\n",
        frames_read_, streams_.size(), static_cast<double>(elapsed_us) / 1e6, t.fragments,
        t.datagrams, t.bytes, t.resends, t.dropped, t.duplicated, t.send_errors);
    fmt::print(
        "norvane-sender: received {} video_stats (missing_frames {}), {} retransmission "
        "requests ({} unanswered), {} other datagrams\n",
        t.stats, t.last_missing, t.requests, t.unanswered, t.ignored);
    if (streams_.size() > 1) {
        for (const auto& s : streams_) {
            const auto& a = s.sender->settings().address;
            const std::string prefix =
                fmt::format("stream addr={:08x} camera={} ", a.manet_addr, a.camera_type);
            print_counters(stdout, prefix.c_str(), s.sender->counters());
        }
    }
    print_counters(stdout, "summary ", t);
    std::fflush(stdout);
}

}  // namespace kelvra::norvane::sender
