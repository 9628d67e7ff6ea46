#include "kelvra/norvane/ingest/flight_recorder.hpp"

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "kelvra/norvane/ingest/msg_logger.hpp"

namespace kelvra::norvane {
namespace {

TEST(FlightRecorder, DirectoryNamesAddressFlightAndCamera) {
    EXPECT_EQ(flight_directory("/data", 0x1A2B, 7, 1), "/data/00001A2B/7/1");
    EXPECT_EQ(flight_directory("d", 0xFFFFFFFF, 0, 255), "d/FFFFFFFF/0/255");
    // A negative id other than -1 is printed as its unsigned 64-bit sign extension.
    EXPECT_EQ(flight_directory("d", 1, -2, 0), "d/00000001/18446744073709551614/0");
}

TEST(FlightRecorder, LogNamesFollowTheLocalTimeFormats) {
    EXPECT_TRUE(std::regex_match(get_log_name(".stats"), std::regex(R"(\d{8}_\d{6}\.stats)")));
    EXPECT_TRUE(
        std::regex_match(local_time_stamp(), std::regex(R"(\d{2}-\d{2}-\d{4}_\d{2}-\d{2}-\d{2})")));
}

TEST(FlightRecorder, StatsRecordSpansEightLines) {
    const auto path = (std::filesystem::temp_directory_path() / "norvane-test.stats").string();
    std::filesystem::remove(path);
    {
        auto logger = create_stats_logger(0x1A2B, path);
        ASSERT_NE(logger, nullptr);
        jitter::Stats stats{};
        stats.skipped_frames = 1;
        stats.delayed_frames = 2;
        stats.retransmissions_number = 3;
        stats.duplicates_number = 4;
        stats.roundtrip = 40000;
        log_stream_stats(*logger, 1234, stats);
        spdlog::drop(logger->name());
    }
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text,
              "1234\nStats:\n\tSkipped frames: 1\n\tDelayed frames: 2\n\tRetransmissions number: "
              "3\n\tDuplicates number: 4\n\tRoundtrip time: 40000\n\n");
    EXPECT_EQ(create_stats_logger(1, "/dev/null/x/y.stats"), nullptr);
}

TEST(MsgLogger, WritesCompactHeaderArraysOnlyWhenEnabled) {
    const auto path = (std::filesystem::temp_directory_path() / "norvane-msg-log.csv").string();
    std::filesystem::remove(path);
    std::vector<uint8_t> header(40, 0);
    header[0] = 13;
    header[1] = 21;
    header[39] = 255;
    {
        MsgLogger disabled(path, false);
        disabled.log_header(header.data(), header.size());
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    {
        MsgLogger logger(path, true);
        logger.log_header(header.data(), header.size());
    }
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line,
              "[13,21,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,"
              "255]");
}

}  // namespace
}  // namespace kelvra::norvane
