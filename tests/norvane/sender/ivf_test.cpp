#include "../../../tools/sender/ivf.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../../tools/sender/keyframe.hpp"

namespace kelvra::norvane::sender {
namespace {

namespace fs = std::filesystem;

IvfHeader vp8_header() {
    IvfHeader h;
    h.format = VideoFormat::VP8;
    h.width = 320;
    h.height = 240;
    h.rate = 30;
    h.scale = 1;
    return h;
}

void append_frame(std::vector<uint8_t>& file, const std::vector<uint8_t>& frame, uint64_t pts) {
    const auto header = ivf_frame_header(static_cast<uint32_t>(frame.size()), pts);
    file.insert(file.end(), header.begin(), header.end());
    file.insert(file.end(), frame.begin(), frame.end());
}

std::vector<uint8_t> ivf_file(const IvfHeader& h, const std::vector<std::vector<uint8_t>>& frames) {
    const auto header = ivf_file_header(h);
    std::vector<uint8_t> file(header.begin(), header.end());
    for (size_t i = 0; i < frames.size(); ++i) append_frame(file, frames[i], i);
    return file;
}

std::optional<IvfReader> open(const std::vector<uint8_t>& file) {
    std::string error;
    return IvfReader::open({file.data(), file.size()}, error);
}

TEST(IvfReader, ReadsFramesBackAsWritten) {
    const auto file = ivf_file(vp8_header(), {{1, 2, 3}, {}, std::vector<uint8_t>(5000, 9)});
    auto reader = open(file);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->header().format, VideoFormat::VP8);
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
}

TEST(IvfReader, RejectsHeadersItCannotUse) {
    auto good = ivf_file(vp8_header(), {{1}});
    std::string error;
    EXPECT_FALSE(IvfReader::open({good.data(), 31}, error));
    EXPECT_FALSE(error.empty());

    auto bad_magic = good;
    bad_magic[0] = 'X';
    EXPECT_FALSE(open(bad_magic));

    auto av1 = good;
    std::copy_n("AV01", 4, av1.begin() + 8);
    EXPECT_FALSE(open(av1));

    auto small_header = good;
    messgen::store_le<uint16_t>(small_header.data() + 6, 16);
    EXPECT_FALSE(open(small_header));
    auto huge_header = good;
    messgen::store_le<uint16_t>(huge_header.data() + 6, 0xffff);
    EXPECT_FALSE(open(huge_header));

    // A longer header is honoured: frames start where it says.
    IvfHeader h = vp8_header();
    auto longer = ivf_file(h, {});
    messgen::store_le<uint16_t>(longer.data() + 6, 40);
    longer.insert(longer.end(), 8, 0xee);
    append_frame(longer, {7, 7}, 0);
    auto reader = open(longer);
    ASSERT_TRUE(reader);
    IvfFrame f;
    ASSERT_EQ(reader->next(f), IvfRead::Frame);
    EXPECT_EQ(f.bytes.size, 2u);
    EXPECT_EQ(f.bytes[0], 7);

    auto vp9 = good;
    std::copy_n("VP90", 4, vp9.begin() + 8);
    ASSERT_TRUE(open(vp9));
    EXPECT_EQ(open(vp9)->header().format, VideoFormat::VP9);
}

TEST(IvfReader, StopsAtTruncatedOrOversizedFramesWithoutReadingPastTheEnd) {
    const auto file = ivf_file(vp8_header(), {{1, 2, 3, 4}, {5, 6, 7, 8}});
    IvfFrame f;

    // Cut inside the second frame's header, then inside its bytes: the first frame still reads.
    for (const size_t cut : {file.size() - 4 - 6, file.size() - 1}) {
        SCOPED_TRACE(cut);
        const std::vector<uint8_t> truncated(file.begin(), file.begin() + cut);
        auto reader = open(truncated);
        ASSERT_TRUE(reader);
        ASSERT_EQ(reader->next(f), IvfRead::Frame);
        EXPECT_EQ(reader->next(f), IvfRead::Truncated);
        EXPECT_EQ(reader->offset(), 32u + 12 + 4);
        EXPECT_EQ(reader->next(f), IvfRead::Truncated);  // stays put
    }

    // A size that wraps the offset arithmetic, and one beyond anything that can be sent.
    for (const uint32_t size :
         {0xffffffffu, 0xfffffff4u, static_cast<uint32_t>(kMaxFrameBytes + 1)}) {
        SCOPED_TRACE(size);
        auto lying = file;
        messgen::store_le<uint32_t>(lying.data() + 32, size);
        auto reader = open(lying);
        ASSERT_TRUE(reader);
        EXPECT_EQ(reader->next(f), IvfRead::Oversized);
    }
    auto past_end = file;
    messgen::store_le<uint32_t>(past_end.data() + 32, 1000);
    auto reader = open(past_end);
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->next(f), IvfRead::Truncated);
}

TEST(IvfReader, FrameRateOnlyWhenPlausible) {
    IvfHeader h = vp8_header();
    h.rate = 30000;
    h.scale = 1001;
    EXPECT_NEAR(*h.fps(), 29.97, 0.01);
    h.scale = 0;
    EXPECT_FALSE(h.fps());
    h.rate = 1000;  // a millisecond time base says nothing about the frame rate
    h.scale = 1;
    EXPECT_FALSE(h.fps());
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
    EXPECT_TRUE(is_key(VideoFormat::VP9, {0xa0}));   // profile 1 (low bit) key frame
    EXPECT_TRUE(is_key(VideoFormat::VP9, {0xb0}));   // profile 3: reserved bit, then key frame
    EXPECT_FALSE(is_key(VideoFormat::VP9, {0xb2}));  // profile 3 inter frame
    EXPECT_FALSE(is_key(VideoFormat::VP9, {0xb8}));  // profile 3 with the reserved bit set
    EXPECT_FALSE(is_key(VideoFormat::VP9, {0x02}));  // no frame marker
    EXPECT_FALSE(is_key(VideoFormat::VP9, {}));
}

// Frames from the real encoders: every `interval`-th frame, and only those, must be found to be
// a keyframe once wrapped in IVF and read back.
class EncodedIvf : public ::testing::TestWithParam<VideoFormat> {
protected:
    void SetUp() override {
        if (std::system("command -v gst-launch-1.0 >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "gst-launch-1.0 is not installed";
        char pattern[] = "/tmp/norvane-ivf-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    std::vector<std::vector<uint8_t>> encode(int frames, int interval) {
        const bool vp9 = GetParam() == VideoFormat::VP9;
        const std::string cmd =
            "gst-launch-1.0 -q videotestsrc num-buffers=" + std::to_string(frames) +
            " horizontal-speed=2 ! video/x-raw,format=I420,width=160,height=120,framerate=30/1 ! " +
            (vp9 ? "vp9enc cpu-used=8" : "vp8enc") +
            " deadline=1 lag-in-frames=0 keyframe-max-dist=" + std::to_string(interval) +
            " ! multifilesink location=" + (dir_ / "f%03d.bin").string() + " >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) return {};
        std::vector<std::vector<uint8_t>> out;
        for (int i = 0; i < frames; ++i) {
            char name[16];
            std::snprintf(name, sizeof(name), "f%03d.bin", i);
            std::ifstream in(dir_ / name, std::ios::binary);
            if (!in) return {};
            out.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return out;
    }

    fs::path dir_;
};

TEST_P(EncodedIvf, KeyframesFoundWhereTheEncoderPutThem) {
    const auto frames = encode(12, 5);
    if (frames.empty()) GTEST_SKIP() << "the encoder is not available";
    IvfHeader h = vp8_header();
    h.format = GetParam();
    const auto file = ivf_file(h, frames);
    auto reader = open(file);
    ASSERT_TRUE(reader);
    IvfFrame f;
    for (int i = 0; i < 12; ++i) {
        ASSERT_EQ(reader->next(f), IvfRead::Frame);
        EXPECT_EQ(is_keyframe(GetParam(), f.bytes), i % 5 == 0) << "frame " << i;
    }
    EXPECT_EQ(reader->next(f), IvfRead::End);
}

INSTANTIATE_TEST_SUITE_P(Codecs, EncodedIvf, ::testing::Values(VideoFormat::VP8, VideoFormat::VP9),
                         [](const auto& info) {
                             return info.param == VideoFormat::VP9 ? std::string("Vp9")
                                                                   : std::string("Vp8");
                         });

}  // namespace
}  // namespace kelvra::norvane::sender
