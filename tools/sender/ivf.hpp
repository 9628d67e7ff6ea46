#pragma once

// IVF container: a 32-byte file header ("DKIF", version, header size, codec fourcc, picture size,
// time base rate and scale, frame count) followed by frames, each a 12-byte header (uint32 size,
// uint64 timestamp, little-endian) and the encoded bytes. The reader trusts none of the numbers.

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "fragmenter.hpp"
#include "kelvra/core/slice.hpp"
#include "kelvra/msgs/video/messages.hpp"

namespace kelvra::norvane::sender {

using msgs::video::VideoFormat;

constexpr size_t kIvfFileHeaderSize = 32;
constexpr size_t kIvfFrameHeaderSize = 12;

struct IvfHeader {
    VideoFormat format = VideoFormat::VP8;
    uint16_t header_size = kIvfFileHeaderSize;
    uint16_t width = 0;
    uint16_t height = 0;
    uint32_t rate = 0;   // time base denominator
    uint32_t scale = 0;  // time base numerator
    uint32_t frame_count = 0;

    // Frames per second as the time base states it, when that is a plausible frame rate.
    std::optional<double> fps() const {
        if (rate == 0 || scale == 0) return std::nullopt;
        const double fps = static_cast<double>(rate) / scale;
        if (fps < 1.0 || fps > 240.0) return std::nullopt;
        return fps;
    }
};

struct IvfFrame {
    ConstSlice<uint8_t> bytes;
    uint64_t pts = 0;
    size_t offset = 0;  // of the frame header in the file
};

enum class IvfRead { Frame, End, Truncated, Oversized };

// Walks the frames of an IVF file held in memory.
class IvfReader {
public:
    // Fails with a reason for anything but a VP8 or VP9 IVF header.
    static std::optional<IvfReader> open(ConstSlice<uint8_t> file, std::string& error) {
        if (file.size < kIvfFileHeaderSize) {
            error = "file is shorter than an IVF header";
            return std::nullopt;
        }
        if (std::memcmp(file.data, "DKIF", 4) != 0) {
            error = "not an IVF file (no DKIF signature)";
            return std::nullopt;
        }
        IvfHeader h;
        h.header_size = messgen::load_le<uint16_t>(file.data + 6);
        if (h.header_size < kIvfFileHeaderSize || h.header_size > file.size) {
            error = "IVF header size " + std::to_string(h.header_size) + " is out of range";
            return std::nullopt;
        }
        if (std::memcmp(file.data + 8, "VP80", 4) == 0) {
            h.format = VideoFormat::VP8;
        } else if (std::memcmp(file.data + 8, "VP90", 4) == 0) {
            h.format = VideoFormat::VP9;
        } else {
            error = "IVF codec is neither VP8 nor VP9";
            return std::nullopt;
        }
        h.width = messgen::load_le<uint16_t>(file.data + 12);
        h.height = messgen::load_le<uint16_t>(file.data + 14);
        h.rate = messgen::load_le<uint32_t>(file.data + 16);
        h.scale = messgen::load_le<uint32_t>(file.data + 20);
        h.frame_count = messgen::load_le<uint32_t>(file.data + 24);
        return IvfReader(file, h);
    }

    const IvfHeader& header() const { return header_; }
    size_t offset() const { return pos_; }
    void rewind() { pos_ = header_.header_size; }

    // The next frame, End at the end of the file, or the reason the rest cannot be read (the
    // reader then stays where it is).
    IvfRead next(IvfFrame& out) {
        const size_t left = file_.size - pos_;
        if (left == 0) return IvfRead::End;
        if (left < kIvfFrameHeaderSize) return IvfRead::Truncated;
        const uint32_t size = messgen::load_le<uint32_t>(file_.data + pos_);
        if (size > kMaxFrameBytes) return IvfRead::Oversized;
        if (size > left - kIvfFrameHeaderSize) return IvfRead::Truncated;
        out.offset = pos_;
        out.pts = messgen::load_le<uint64_t>(file_.data + pos_ + 4);
        out.bytes = {file_.data + pos_ + kIvfFrameHeaderSize, size};
        pos_ += kIvfFrameHeaderSize + size;
        return IvfRead::Frame;
    }

private:
    IvfReader(ConstSlice<uint8_t> file, const IvfHeader& header)
        : file_(file), header_(header), pos_(header.header_size) {}

    ConstSlice<uint8_t> file_;
    IvfHeader header_;
    size_t pos_;
};

inline std::array<uint8_t, kIvfFileHeaderSize> ivf_file_header(const IvfHeader& h) {
    std::array<uint8_t, kIvfFileHeaderSize> out{};
    std::memcpy(out.data(), "DKIF", 4);
    messgen::store_le<uint16_t>(out.data() + 4, 0);
    messgen::store_le<uint16_t>(out.data() + 6, kIvfFileHeaderSize);
    std::memcpy(out.data() + 8, h.format == VideoFormat::VP9 ? "VP90" : "VP80", 4);
    messgen::store_le(out.data() + 12, h.width);
    messgen::store_le(out.data() + 14, h.height);
    messgen::store_le(out.data() + 16, h.rate);
    messgen::store_le(out.data() + 20, h.scale);
    messgen::store_le(out.data() + 24, h.frame_count);
    return out;
}

inline std::array<uint8_t, kIvfFrameHeaderSize> ivf_frame_header(uint32_t size, uint64_t pts) {
    std::array<uint8_t, kIvfFrameHeaderSize> out{};
    messgen::store_le(out.data(), size);
    messgen::store_le(out.data() + 4, pts);
    return out;
}

}  // namespace kelvra::norvane::sender
