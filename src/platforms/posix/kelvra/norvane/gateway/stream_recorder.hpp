#pragma once

#include <cstddef>
#include <cstdint>

#include "kelvra/norvane/gateway/session_pipe.hpp"

namespace kelvra::norvane {

// What recordings are made: one recorder child per stream, writing segments of `segment_s`
// seconds into the stream's flight directory, all of them under `keep_bytes` (0: no bound).
struct RecordingSettings {
    bool enabled = false;
    int64_t segment_s = 300;
    uint64_t keep_bytes = 0;
};

// The recorder child of a stream, fed through a pipe as a viewer's session is.
struct StreamRecorder {
    int32_t pid = 0;         // 0: none running
    int32_t flight_id = -1;  // the flight whose directory it writes
    uint32_t restarts = 0;   // the stream's restart count when it started
    SessionPipeWriter pipe;
    // A frame did not reach it: it gets nothing but a keyframe until one does.
    bool resync = false;
    // A recorder that ended by itself is started again from then on (monotonic µs).
    int64_t restart_at_us = 0;
};

// Writes one serialised video_frame to the stream's recorder. After a frame the recorder
// missed (it falls behind and its pipe is full), the frames up to the next keyframe are held
// back too, since they would not decode without it: its file gets a gap, never garbage.
inline void feed_recorder(StreamRecorder& recorder, const uint8_t* data, size_t size,
                          bool keyframe) {
    if (recorder.pid == 0 || (recorder.resync && !keyframe)) return;
    recorder.resync = !write_buffer_to_pipe(recorder.pipe, data, size);
}

}  // namespace kelvra::norvane
