#include "sender/ivf.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sender/keyframe.hpp"

namespace kelvra::norvane::sender {
namespace {

std::vector<uint8_t> ivf_file(const std::vector<std::vector<uint8_t>>& frames) {
    const auto header = ivf_file_header({.width = 320, .height = 240, .rate = 30, .scale = 1});
    std::vector<uint8_t> file(header.begin(), header.end());
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto fh = ivf_frame_header(static_cast<uint32_t>(frames[i].size()), i);
        file.insert(file.end(), fh.begin(), fh.end());
        file.insert(file.end(), frames[i].begin(), frames[i].end());
    }
    return file;
}

std::optional<IvfReader> open(const std::vector<uint8_t>& file, size_t size = SIZE_MAX) {
    std::string error;
    return IvfReader::open({file.data(), std::min(size, file.size())}, error);
}

TEST(IvfReader, ReadsFramesBackAsWrittenAndRejectsUnusableHeaders) {
    const auto file = ivf_file({{1, 2, 3}, {}, std::vector<uint8_t>(5000, 9)});
    auto reader = open(file);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->header().width, 320);
    EXPECT_EQ(reader->header().fps(), 30.0);
    IvfFrame f;
    ASSERT_EQ(reader->next(f), IvfRead::Frame);
    EXPECT_EQ(std::vector<uint8_t>(f.bytes.begin(), f.bytes.end()),
              (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(f.offset, 32u);
    ASSERT_EQ(reader->next(f), IvfRead::Frame);
    EXPECT_TRUE(f.bytes.empty());
    EXPECT_EQ(f.pts, 1u);
    ASSERT_EQ(reader->next(f), IvfRead::Frame);
    EXPECT_EQ(f.bytes.size, 5000u);
    EXPECT_EQ(reader->next(f), IvfRead::End);
    reader->rewind();
    ASSERT_EQ(reader->next(f), IvfRead::Frame);
    EXPECT_EQ(f.bytes.size, 3u);

    EXPECT_FALSE(open(file, 31));
    for (const auto& [at, value] : std::vector<std::pair<size_t, std::string>>{
             {0, "X"}, {8, "AV01"}, {6, std::string("\x10\x00", 2)}, {6, "\xff\xff"}}) {
        SCOPED_TRACE(at);
        auto bad = file;  // bad magic, unknown codec, header length too small or too large
        std::copy(value.begin(), value.end(), bad.begin() + static_cast<ptrdiff_t>(at));
        EXPECT_FALSE(open(bad));
    }
    auto vp9 = file;
    std::copy_n("VP90", 4, vp9.begin() + 8);
    ASSERT_TRUE(open(vp9));
    EXPECT_EQ(open(vp9)->header().format, VideoFormat::VP9);
}

TEST(IvfReader, StopsAtTruncatedOrOversizedFramesWithoutReadingPastTheEnd) {
    const auto file = ivf_file({{1, 2, 3, 4}, {5, 6, 7, 8}});
    IvfFrame f;
    // Cut inside the second frame's header, then inside its bytes: the first frame still reads.
    for (const size_t cut : {file.size() - 4 - 6, file.size() - 1}) {
        SCOPED_TRACE(cut);
        auto reader = open(file, cut);
        ASSERT_TRUE(reader);
        ASSERT_EQ(reader->next(f), IvfRead::Frame);
        EXPECT_EQ(reader->next(f), IvfRead::Truncated);
        EXPECT_EQ(reader->offset(), 32u + 12 + 4);
        EXPECT_EQ(reader->next(f), IvfRead::Truncated);  // stays put
    }
    // Sizes that wrap the offset arithmetic, one beyond anything that can be sent, and one past
    // the end of the file.
    for (const uint32_t size :
         {0xffffffffu, 0xfffffff4u, static_cast<uint32_t>(kMaxFrameBytes + 1), 1000u}) {
        SCOPED_TRACE(size);
        auto lying = file;
        messgen::store_le<uint32_t>(lying.data() + 32, size);
        auto reader = open(lying);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->next(f), size == 1000u ? IvfRead::Truncated : IvfRead::Oversized);
    }
}

TEST(Keyframe, Vp8FrameTagAndVp9UncompressedHeader) {
    const auto is_key = [](VideoFormat f, std::vector<uint8_t> b) {
        return is_keyframe(f, {b.data(), b.size()});
    };
    EXPECT_TRUE(is_key(VideoFormat::VP8, {0x10, 0x60, 0x00, 0x9d, 0x01, 0x2a}));
    EXPECT_FALSE(is_key(VideoFormat::VP8, {0xb1, 0x30, 0x00}));
    EXPECT_FALSE(is_key(VideoFormat::VP8, {}));
    EXPECT_TRUE(is_key(VideoFormat::VP9, {0x82, 0x49, 0x83, 0x42}));   // profile 0 key frame
    EXPECT_FALSE(is_key(VideoFormat::VP9, {0x86, 0x00, 0x40, 0x92}));  // profile 0 inter frame
    EXPECT_FALSE(is_key(VideoFormat::VP9, {0x88}));                    // shows an existing frame
    EXPECT_TRUE(is_key(VideoFormat::VP9, {0xb0}));   // profile 3: reserved bit, then key frame
    EXPECT_FALSE(is_key(VideoFormat::VP9, {0xb8}));  // profile 3 with the reserved bit set
    EXPECT_FALSE(is_key(VideoFormat::VP9, {0x02}));  // no frame marker
    EXPECT_FALSE(is_key(VideoFormat::VP9, {}));
}

}  // namespace
}  // namespace kelvra::norvane::sender
