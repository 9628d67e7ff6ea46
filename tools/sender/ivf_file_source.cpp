#include "ivf_file_source.hpp"

#include <fmt/core.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "keyframe.hpp"

namespace kelvra::norvane::sender {
namespace {

constexpr std::streamoff kMaxFileBytes = std::streamoff{2} << 30;  // 2 GiB

bool read_file(const std::string& path, std::vector<uint8_t>& out, std::string& error) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxFileBytes) {
        error = path + " is larger than 2 GiB";
        return false;
    }
    out.resize(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(out.data()), size)) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

}  // namespace

std::unique_ptr<IvfFileSource> IvfFileSource::open(const std::string& path, bool loop,
                                                   std::string& error) {
    std::unique_ptr<IvfFileSource> source(new IvfFileSource());
    if (!read_file(path, source->file_, error)) return nullptr;
    auto reader = IvfReader::open({source->file_.data(), source->file_.size()}, error);
    if (!reader) {
        error = path + ": " + error;
        return nullptr;
    }
    source->header_ = reader->header();
    source->loop_ = loop;

    IvfFrame frame;
    IvfRead status;
    while ((status = reader->next(frame)) == IvfRead::Frame) {
        // An empty frame has nothing to decode; there is no point in announcing it.
        if (frame.bytes.empty()) continue;
        source->frames_.push_back({static_cast<size_t>(frame.bytes.data - source->file_.data()),
                                   frame.bytes.size,
                                   is_keyframe(source->header_.format, frame.bytes)});
    }
    if (status != IvfRead::End) {
        const char* why =
            status == IvfRead::Oversized ? "announces an oversized frame" : "is truncated";
        if (source->frames_.empty()) {
            error = fmt::format("{} {} at offset {}", path, why, reader->offset());
            return nullptr;
        }
        fmt::print(stderr, "norvane-sender: {} {} at offset {}; sending the {} frames before it\n",
                   path, why, reader->offset(), source->frames_.size());
    }
    if (source->frames_.empty()) {
        error = path + " holds no frames";
        return nullptr;
    }
    return source;
}

bool IvfFileSource::next(SourceFrame& out) {
    if (position_ == frames_.size()) {
        if (!loop_) return false;
        position_ = 0;
    }
    const IndexedFrame& f = frames_[position_++];
    out.bytes = {file_.data() + f.offset, f.size};
    out.keyframe = f.keyframe;
    return true;
}

}  // namespace kelvra::norvane::sender
