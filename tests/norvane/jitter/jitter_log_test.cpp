// The jitter log: which lines each operation writes, and their exact bytes.

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "norvane/jitter/jitter_test_support.hpp"

namespace kelvra::norvane::jitter::testing {
namespace {

// Lines from `from` on, each time stamp checked to be a number and replaced by T.
std::vector<std::string> read_lines(const std::string& path, size_t from = 0) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        const size_t digits = line.find("\"t\":") + 4;
        const size_t end = line.find_first_not_of("0123456789", digits);
        if (end == std::string::npos || end <= digits + 15 || line[end] != ',') {
            ADD_FAILURE() << "no time in " << line;
            continue;
        }
        lines.push_back(line.replace(digits, end - digits, "T"));
    }
    return {lines.begin() + static_cast<int64_t>(std::min(from, lines.size())), lines.end()};
}

std::string queue_line(int kr, int le, int ls, int lt, int oq, int pq) {
    return fmt::format(
        R"({{"iq":0,"kr":{},"le":{},"lq":0,"ls":{},"lt":{},"oq":{},"pq":{},"t":T,"ur":0}})", kr, le,
        ls, lt, oq, pq);
}

std::string stats_line(int sn, int lr = 0, int mr = 0, int rt = 0) {
    return fmt::format(
        R"({{"df":0,"dn":0,"id":0,"lr":{},"mr":{},"no":0,"rn":0,"rt":{},"sf":0,"sn":{},"t":T,"un":0}})",
        lr, mr, rt, sn);
}

struct JitterLog : ::testing::Test {
    std::string path = (std::filesystem::temp_directory_path() /
                        ("jitter_log_test_" + std::to_string(::getpid()) + ".csv"))
                           .string();
    ManualClock clock;
    JitterBuffer open_buffer() {
        JitterBufferLogger logger(path);
        EXPECT_TRUE(logger.open());
        return JitterBuffer(std::move(logger), clock);
    }
    void TearDown() override { std::filesystem::remove(path); }
};

TEST_F(JitterLog, EveryOperationWritesItsQueueAndStatsLines) {
    JitterBuffer buffer = open_buffer();
    SentFrame(7, 100, true).push_all(buffer);
    EXPECT_EQ(read_lines(path), (std::vector<std::string>{
                                    queue_line(1, 0, 7, 0, 0, 1),  // record enqueued
                                    queue_line(1, 0, 7, 0, 0, 1),  // record created
                                    queue_line(0, 0, 7, 0, 0, 1),  // keyframe completed
                                    stats_line(7),
                                    queue_line(0, 0, 7, 0, 1, 1),  // end of the push
                                    stats_line(7),
                                }));
    buffer.get_retransmit_requests(50);
    buffer.get_frames_to_show();
    EXPECT_EQ(read_lines(path, 6), (std::vector<std::string>{
                                       queue_line(0, 0, 7, 0, 1, 1),  // purge
                                       stats_line(7),
                                       queue_line(0, 0, 7, 1, 1, 1),  // requests
                                       stats_line(7),
                                       queue_line(0, 7, 7, 1, 0, 1),  // release
                                       stats_line(7),
                                   }));
}

TEST_F(JitterLog, RestartZeroesEveryCounter) {
    JitterBuffer buffer = open_buffer();
    SentFrame(7, 100).push_all(buffer);
    buffer.update_roundtrip(control(3, 10, 31));
    const size_t before = read_lines(path).size();
    SentFrame(5, 2800).push(buffer, 0);
    const std::vector<std::string> lines = read_lines(path, before);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], queue_line(0, 0, 0, 0, 1, 0));  // the reset keeps the complete frame
    EXPECT_EQ(lines[1], stats_line(0));
    EXPECT_EQ(lines[5], stats_line(0));
    buffer.update_roundtrip(control(1, 10, 31));
    buffer.get_retransmit_requests(50);
    EXPECT_EQ(read_lines(path).back(), stats_line(0, 10, 31, 20));
}

TEST_F(JitterLog, UnopenedLogCreatesNoFile) {
    JitterBuffer buffer(JitterBufferLogger(path), clock);
    SentFrame(7, 100, true).push_all(buffer);
    buffer.get_retransmit_requests(50);
    EXPECT_EQ(buffer.get_frames_to_show().size(), 1u);
    buffer.reset();
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace kelvra::norvane::jitter::testing
