// Recordings: a recorder child per stream writes the frames released to its viewers into the
// stream's flight directory. It is a session child like a viewer's, fed through the same kind of
// pipe, so the gateway itself neither writes video files nor waits for the disk.
//
// The gateway decides what only it knows: which flight a file belongs to (a new flight ends the
// recorder, which closes its segment, and starts one in the new directory) and when a stream
// ends. The recorder decides where its segments are cut (length, format, keyframes) from the
// frames themselves.

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "kelvra/norvane/gateway/norvane.hpp"
#include "kelvra/norvane/ingest/flight_recorder.hpp"
#include "kelvra/norvane/webrtc/recording_session.hpp"
#include "kelvra/norvane/webrtc/session_process.hpp"

namespace kelvra {

namespace {

constexpr const char* kRecorderProcessName = "Recorder";
// A recorder that ended is started again after this, so that one that cannot run does not
// fork on every frame.
constexpr int64_t kRecorderRestartUs = 1'000'000;

}  // namespace

void Norvane::update_recorder(norvane::Stream& stream, int64_t now) {
    norvane::StreamRecorder& recorder = stream.recorder;
    // Frames of no flight (-1) belong to the flight being recorded, if any.
    if (stream.flight_id == -1) return;
    // A new flight, or a sender that started its numbering again, gets segments of its own.
    const uint32_t restarts = stream.sink.jitter_buffer.restart_count();
    if (recorder.pid != 0 &&
        (recorder.flight_id != stream.flight_id || recorder.restarts != restarts))
        stop_recorder(stream);
    if (recorder.pid != 0 || now < recorder.restart_at_us) return;

    recorder.restart_at_us = now + kRecorderRestartUs;
    norvane::DataPipe pipe = norvane::create_data_pipe();
    if (!pipe.ok) {
        logger_->error("Failed to create data pipes");
        return;
    }
    RecordingSession::Options options;
    options.directory = norvane::flight_directory(save_dir_, stream.manet_addr, stream.flight_id,
                                                  stream.camera_type);
    options.save_dir = save_dir_;
    options.stream = fmt::format("{:x} camera {}", stream.manet_addr, unsigned{stream.camera_type});
    options.segment_us = recording_.segment_s * 1'000'000;
    options.keep_bytes = recording_.keep_bytes;
    const std::string directory = options.directory;
    auto process = std::make_unique<SessionProcess>(
        pipe.read_end.get(), std::make_unique<RecordingSession>(std::move(options)), log_level_,
        kRecorderProcessName);
    process->keep_open({pipe.write_end.get()});
    process->set_terminated_on_stop(true);
    const int pid = runtime_manager_->spawn_session_process(std::move(process));
    if (pid < 0) {
        logger_->error("Failed to spawn recorder for stream {:x} camera {}", stream.manet_addr,
                       unsigned{stream.camera_type});
        return;
    }
    recorder.pid = pid;
    recorder.flight_id = stream.flight_id;
    recorder.restarts = restarts;
    recorder.pipe = norvane::SessionPipeWriter(std::move(pipe.write_end));
    recorder.resync = false;
    logger_->info("Started recorder {} for stream {:x} camera {} in {}", pid, stream.manet_addr,
                  unsigned{stream.camera_type}, directory);
}

void Norvane::stop_recorder(norvane::Stream& stream) {
    norvane::StreamRecorder& recorder = stream.recorder;
    if (recorder.pid == 0) return;
    // It ends its segment on SIGTERM; the runtime manager kills it if that takes too long.
    runtime_manager_->terminate_session(recorder.pid);
    recorder.pid = 0;
    recorder.flight_id = -1;
    recorder.pipe.reset();
    // Its successor starts at once: the wait is for recorders that end by themselves.
    recorder.restart_at_us = 0;
}

bool Norvane::recorder_finished(int pid) {
    for (auto& [key, stream] : streams_) {
        norvane::StreamRecorder& recorder = stream.recorder;
        if (recorder.pid != pid) continue;
        recorder.pid = 0;
        recorder.flight_id = -1;
        recorder.pipe.reset();
        // Ended by the gateway's own stop: nothing to report or to start again.
        if (runtime_manager_->stopping()) return true;
        // The frames it had not written are lost from its file; the next recorder starts a new
        // segment at a keyframe.
        logger_->error("Recorder {} of stream {:x} camera {} ended, starting another", pid,
                       stream.manet_addr, unsigned{stream.camera_type});
        recorder.restart_at_us = clock_.now_us() + kRecorderRestartUs;
        return true;
    }
    return false;
}

}  // namespace kelvra
