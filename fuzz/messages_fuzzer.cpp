// Every message of the catalogue through its parser. The first byte picks the message; the rest
// is its payload. A message that parses must survive being written out and parsed again.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "kelvra/msgs/video/messages.hpp"

namespace {

using namespace kelvra;
namespace video = msgs::video;

// Indexed by the first input byte; the order keeps the corpus pointing at the same messages.
using Catalogue = std::tuple<video::session_response, video::session_msg,
                             video::video_fragment_info, video::session_request, video::ice_message,
                             video::sdp_message, video::terminate_session, video::video_frame,
                             video::video_stats, video::video_retransmit_request,
                             video::control_data, video::stream_state, video::set_stream>;

constexpr size_t kArenaSize = 1 << 18;  // bytes; room for two parses of any input run here

template <typename Message>
void round_trip(const uint8_t* payload, size_t size, messgen::Arena& arena) {
    arena.reset();
    Message msg;
    const messgen::MessageInfo info{Message::TYPE, static_cast<uint32_t>(size), payload};
    const int consumed = msg.parse(info, arena);
    if (consumed < 0) return;
    if (static_cast<size_t>(consumed) > size) std::abort();

    std::vector<uint8_t> frame;
    frame.reserve(msg.frame_size());
    if (msg.serialize(frame) < 0 || frame.size() > messgen::kFrameHeaderSize + size) std::abort();

    // Written out, parsed again and written again, a message comes back byte for byte (strings
    // stop at their first NUL when written, so the first pass may shorten them).
    Message again;
    const messgen::MessageInfo written{
        Message::TYPE, static_cast<uint32_t>(frame.size() - messgen::kFrameHeaderSize),
        frame.data() + messgen::kFrameHeaderSize};
    if (again.parse(written, arena) != static_cast<int>(written.size)) std::abort();
    std::vector<uint8_t> second;
    second.reserve(again.frame_size());
    if (again.serialize(second) < 0 || second != frame) std::abort();
}

template <size_t... I>
void round_trip_one(size_t pick, const uint8_t* payload, size_t size, messgen::Arena& arena,
                    std::index_sequence<I...>) {
    ((pick == I ? round_trip<std::tuple_element_t<I, Catalogue>>(payload, size, arena) : void()),
     ...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static messgen::OwnedArena arena(kArenaSize);
    if (size < 1) return 0;
    constexpr size_t kMessages = std::tuple_size_v<Catalogue>;
    round_trip_one(data[0] % kMessages, data + 1, size - 1, arena,
                   std::make_index_sequence<kMessages>());
    // The frame walk over the same bytes: every frame it reports lies inside the buffer.
    const size_t walked = messgen::walk_frames(data, size, [&](const messgen::MessageInfo& info) {
        if (info.payload < data || info.payload + info.size > data + size) std::abort();
    });
    if (walked > size) std::abort();
    return 0;
}
