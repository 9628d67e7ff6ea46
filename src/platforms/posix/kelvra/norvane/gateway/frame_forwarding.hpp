#pragma once

#include <cstdint>
#include <vector>

#include "kelvra/norvane/gateway/stream.hpp"

namespace spdlog {
class logger;
}

namespace kelvra::norvane {

// Writes the frames a stream released, each as one video_frame serialised into `outgoing`
// (emptied after each), to the pipe of every session of the stream, and keeps them (moved) as
// the stream's run since its latest keyframe. Frames of another format than the one in force
// are held back until that format's first keyframe.
void forward_frames(Stream& stream, std::vector<jitter::Frame>& frames,
                    std::vector<uint8_t>& outgoing, spdlog::logger& log);

// Writes the stream's run since its latest keyframe to a session that has just started, so that
// it can show a picture before the drone's next keyframe.
void send_catchup(const Stream& stream, WebrtcSession& session, std::vector<uint8_t>& outgoing);

}  // namespace kelvra::norvane
