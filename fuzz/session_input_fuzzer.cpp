// Both ends of a session pipe on arbitrary bytes.
//   The child's reader: the bytes arrive in chunks and go through the session process's frame
//   walk into a media session that runs what the real one runs before GStreamer is touched:
//   the SDP answer check and the detections text of every frame (the catalogue's parsers alone
//   are the messages fuzzer's).
//   The gateway's reader of what a child writes: take_child_frames with a small buffer, so
//   frames longer than it are skipped across reads.
//
// Input: [chunk byte][capacity byte][bytes]. Chunks are (chunk byte + 1) * 7 bytes, the
// gateway's buffer holds (capacity byte + 1) * 16 bytes.

#include <spdlog/spdlog.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "kelvra/norvane/gateway/session_pipe.hpp"
#include "kelvra/norvane/webrtc/detections_message.hpp"
#include "kelvra/norvane/webrtc/sdp_answer.hpp"
#include "kelvra/norvane/webrtc/session_process.hpp"

namespace {

using namespace kelvra;
namespace video = msgs::video;

constexpr size_t kArenaSize = 1 << 20;  // bytes

class ParsingSession final : public GstSession {
public:
    void start(GMainLoop*) override {}
    void stop() override {}
    void feed_message(const messgen::MessageInfo& info) override {
        arena_.reset();
        if (info.type_id == video::sdp_message::TYPE) {
            video::sdp_message msg;
            if (msg.parse(info, arena_) >= 0) (void)norvane::parse_sdp_answer(msg.sdp);
        } else if (info.type_id == video::video_frame::TYPE) {
            video::video_frame msg;
            if (msg.parse(info, arena_) >= 0)
                norvane::write_detections_json(90000, msg.detections, json_);
        }
    }

private:
    messgen::OwnedArena arena_{kArenaSize};
    std::string json_;
};

void child_reader(const uint8_t* data, size_t size, size_t chunk) {
    static ParsingSession session;
    std::vector<uint8_t> buffer(size);
    size_t held = 0;
    for (size_t pos = 0; pos < size;) {
        const size_t n = std::min(chunk, size - pos);
        std::copy(data + pos, data + pos + n, buffer.begin() + static_cast<ptrdiff_t>(held));
        pos += n;
        held = SessionProcess::feed_frames(buffer.data(), held + n, session);
        if (held > pos) std::abort();
    }
}

void gateway_reader(const uint8_t* data, size_t size, size_t chunk, size_t capacity) {
    std::vector<uint8_t> buffer;
    buffer.reserve(capacity);
    size_t discard = 0;
    size_t sent = 0;
    for (size_t pos = 0; pos < size;) {
        const size_t room = buffer.capacity() - buffer.size();
        const size_t n = std::min({chunk, size - pos, room});
        buffer.insert(buffer.end(), data + pos, data + pos + n);
        pos += n;
        norvane::take_child_frames(buffer, discard, [&](const uint8_t* frames, size_t length) {
            // What goes to the server is whole frames only.
            if (messgen::complete_frames_length(frames, length) != length) std::abort();
            sent += length;
        });
        if (buffer.capacity() != capacity) std::abort();        // reserved once, never grown
        if (n == 0 && buffer.size() == capacity) std::abort();  // a full buffer would stall
    }
    if (sent > size) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const int quiet = (spdlog::set_level(spdlog::level::off), 0);
    (void)quiet;
    if (size < 2) return 0;
    const size_t chunk = (size_t{data[0]} + 1) * 7;
    const size_t capacity = (size_t{data[1]} + 1) * 16;
    child_reader(data + 2, size - 2, chunk);
    gateway_reader(data + 2, size - 2, chunk, capacity);
    return 0;
}
