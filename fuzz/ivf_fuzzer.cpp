// The sender simulator's IVF reader on arbitrary files: the in-memory walk, the keyframe test
// of every frame, and the file source that indexes and replays them.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sender/ivf.hpp"
#include "sender/ivf_file_source.hpp"
#include "sender/keyframe.hpp"

using namespace kelvra;
using namespace kelvra::norvane::sender;

namespace {

// The file source reads a path: one anonymous in-memory file, rewritten for every input.
const std::string& memory_file_path() {
    static const std::string path = [] {
        const int fd = memfd_create("ivf-fuzz", 0);
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

void walk(ConstSlice<uint8_t> file) {
    std::string error;
    auto reader = IvfReader::open(file, error);
    if (!reader) return;
    IvfFrame frame;
    IvfRead status;
    while ((status = reader->next(frame)) == IvfRead::Frame) {
        if (frame.bytes.data < file.data || frame.bytes.end() > file.end()) std::abort();
        (void)is_keyframe(reader->header().format, frame.bytes);
    }
    // A reader that stopped stays where it stopped.
    const size_t at = reader->offset();
    if (reader->next(frame) != status || reader->offset() != at) std::abort();
    (void)reader->header().fps();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    walk({data, size});

    const std::string& path = memory_file_path();
    FILE* out = std::fopen(path.c_str(), "wb");  // truncates the memory file
    if (out == nullptr) std::abort();
    if (size != 0) std::fwrite(data, 1, size, out);
    std::fclose(out);
    std::string error;
    auto source = IvfFileSource::open(path, /*loop=*/true, error);
    if (source) {
        SourceFrame frame;
        for (size_t i = 0; i < source->frame_count() + 1; ++i) {
            if (!source->next(frame)) std::abort();  // a looping source never runs dry
        }
    }
    return 0;
}
