// Runs the built norvane-sender against a fake gateway on loopback.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kelvra/core/unique_fd.hpp"
#include "open_datagram.hpp"

namespace kelvra::norvane::sender {
namespace {

namespace fs = std::filesystem;
using testing::open_datagram;
using testing::OpenedDatagram;
using Clock = std::chrono::steady_clock;

constexpr const char* kKeyHex = "00112233445566778899aabbccddeeff";
constexpr uint8_t kKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

// The sender process, stdout captured to a file; killed if a test ends before it does.
class SenderProcess {
public:
    SenderProcess(const std::vector<std::string>& args, const fs::path& out) {
        std::vector<std::string> argv_store = {NORVANE_SENDER_BINARY};
        argv_store.insert(argv_store.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            const int null = ::open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
            std::vector<char*> argv;
            for (auto& a : argv_store) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~SenderProcess() {
        if (pid_ > 0 && !status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    // The exit status once the process has ended.
    std::optional<int> poll_exit() {
        if (status_) return status_;
        int raw = 0;
        if (waitpid(pid_, &raw, WNOHANG) == pid_)
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return status_;
    }
    std::optional<int> wait_exit(std::chrono::seconds limit) {
        const auto end = Clock::now() + limit;
        while (!poll_exit() && Clock::now() < end) usleep(10'000);
        return status_;
    }
    void signal(int sig) { kill(pid_, sig); }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

class FakeGateway {
public:
    FakeGateway() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        socklen_t len = sizeof(addr);
        getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
    }

    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

    // One datagram, waiting up to `timeout_ms`; remembers who sent it.
    std::optional<std::vector<uint8_t>> receive(int timeout_ms) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1) return std::nullopt;
        std::vector<uint8_t> buf(2048);
        socklen_t len = sizeof(peer_);
        const ssize_t n = recvfrom(fd_.get(), buf.data(), buf.size(), 0,
                                   reinterpret_cast<sockaddr*>(&peer_), &len);
        if (n < 0) return std::nullopt;
        buf.resize(static_cast<size_t>(n));
        return buf;
    }

    void reply(const std::vector<uint8_t>& d) {
        sendto(fd_.get(), d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&peer_),
               sizeof(peer_));
    }

private:
    UniqueFd fd_;
    uint16_t port_ = 0;
    sockaddr_in peer_{};
};

std::vector<uint8_t> stats_datagram(uint32_t seq) {
    std::vector<uint8_t> d = {11, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    messgen::store_le(d.data() + 9, seq);
    return d;
}

std::vector<uint8_t> request_datagram(uint32_t seq, uint32_t frag) {
    std::vector<uint8_t> d = {12, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    messgen::store_le(d.data() + 5, seq);
    messgen::store_le(d.data() + 9, frag);
    return d;
}

// The values of the final "summary key=value ..." line.
std::map<std::string, uint64_t> read_summary(const fs::path& out) {
    std::ifstream in(out);
    std::string line, last;
    while (std::getline(in, line))
        if (line.rfind("summary ", 0) == 0) last = line;
    std::map<std::string, uint64_t> values;
    std::istringstream words(last.substr(last.empty() ? 0 : 8));
    std::string word;
    while (words >> word) {
        const auto eq = word.find('=');
        if (eq != std::string::npos) values[word.substr(0, eq)] = std::stoull(word.substr(eq + 1));
    }
    return values;
}

class SenderBinary : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(NORVANE_SENDER_BINARY)) GTEST_SKIP() << "norvane-sender is not built";
        char pattern[] = "/tmp/norvane-sender-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty()) fs::remove_all(dir_);
    }

    // Collects what the sender sends until it exits, answering with statistics (and, when
    // `request` is set, with one retransmission request after the first datagram).
    std::vector<OpenedDatagram> serve(SenderProcess& p, FakeGateway& gw, bool answer,
                                      std::optional<std::pair<uint32_t, uint32_t>> request) {
        std::vector<OpenedDatagram> got;
        const auto end = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < end) {
            auto d = gw.receive(20);
            if (!d) {
                if (p.poll_exit()) break;
                continue;
            }
            auto opened = open_datagram(*d, kKey);
            EXPECT_TRUE(opened) << "datagram of " << d->size() << " bytes did not open";
            if (!opened) continue;
            if (answer) gw.reply(stats_datagram(opened->info.sequence_number));
            if (request && got.empty()) gw.reply(request_datagram(request->first, request->second));
            got.push_back(*opened);
        }
        return got;
    }

    fs::path dir_;
};

TEST_F(SenderBinary, EncodesFragmentsSealsAndAnswersARequest) {
    FakeGateway gw;
    const fs::path out = dir_ / "out.txt";
    SenderProcess p({"--gateway",
                     gw.address(),
                     "--key",
                     kKeyHex,
                     "--manet-addr",
                     "00001234",
                     "--camera",
                     "2",
                     "--encode",
                     "vp8",
                     "--frames",
                     "6",
                     "--fps",
                     "50",
                     "--keyframe-interval",
                     "3",
                     "--detections",
                     "2",
                     "--flight",
                     "9",
                     "--linger-ms",
                     "300",
                     "--expect-stats",
                     "--save-ivf",
                     (dir_ / "sent.ivf").string()},
                    out);
    const auto got = serve(p, gw, true, std::make_pair(0u, 0u));
    ASSERT_EQ(p.wait_exit(std::chrono::seconds(10)), 0);

    std::map<std::pair<uint32_t, uint16_t>, std::vector<const OpenedDatagram*>> by_fragment;
    uint32_t last_control = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        const auto& d = got[i];
        EXPECT_EQ(d.manet_addr, 0x1234u);
        EXPECT_EQ(d.camera_type, 2);
        EXPECT_EQ(d.control.flight_id, 9);
        EXPECT_EQ(d.control.video_format, 1);
        if (i > 0) {
            EXPECT_GT(d.control.sequence_number, last_control);
        }
        last_control = d.control.sequence_number;
        by_fragment[{d.info.sequence_number, d.info.fragment_id}].push_back(&d);
    }
    for (uint32_t frame = 0; frame < 6; ++frame) {
        SCOPED_TRACE(frame);
        const auto first = by_fragment.find({frame, 0});
        ASSERT_NE(first, by_fragment.end());
        const auto& info = first->second.front()->info;
        const uint16_t n = info.fragments_number;
        ASSERT_GE(n, 2);
        EXPECT_EQ(info.type & 1, frame % 3 == 0 ? 1 : 0) << "keyframes every third frame";
        for (uint16_t f = 0; f < n; ++f) {
            ASSERT_TRUE(by_fragment.count({frame, f})) << "fragment " << f;
            const auto* d = by_fragment[{frame, f}].front();
            EXPECT_EQ(d->info.type & 4, 4);
            EXPECT_EQ(d->info.type & 2, f + 1 == n ? 2 : 0);
            if (f + 1 < n - 1) {
                EXPECT_EQ(d->fragment.size(), 1400u);
            }
        }
        const auto& detections = by_fragment[{frame, static_cast<uint16_t>(n - 1)}];
        EXPECT_EQ(detections.front()->fragment.size(), 4u + 2 * 11);
    }
    // The request for frame 0, fragment 0 brought a second, identical copy of its bytes.
    const auto& zero = by_fragment[{0, 0}];
    ASSERT_EQ(zero.size(), 2u);
    EXPECT_EQ(zero[0]->fragment, zero[1]->fragment);

    const auto summary = read_summary(out);
    EXPECT_EQ(summary.at("frames"), 6u);
    EXPECT_EQ(summary.at("datagrams"), got.size());
    EXPECT_EQ(summary.at("fragments"), got.size() - 1);
    EXPECT_EQ(summary.at("resends"), 1u);
    EXPECT_EQ(summary.at("requests"), 1u);
    EXPECT_EQ(summary.at("stats"), got.size());

    // The frames it saved replay from IVF as the same fragments, keyframe bits included.
    FakeGateway gw2;
    SenderProcess replay({"--gateway", gw2.address(), "--key", kKeyHex, "--manet-addr", "00001234",
                          "--camera", "2", "--ivf", (dir_ / "sent.ivf").string(), "--fps", "100",
                          "--detections", "2", "--linger-ms", "0"},
                         dir_ / "replay.txt");
    const auto replayed = serve(replay, gw2, false, std::nullopt);
    ASSERT_EQ(replay.wait_exit(std::chrono::seconds(10)), 0);
    ASSERT_EQ(replayed.size(), got.size() - 1);
    for (const auto& d : replayed) {
        const auto& original = by_fragment[{d.info.sequence_number, d.info.fragment_id}];
        ASSERT_FALSE(original.empty());
        EXPECT_EQ(d.fragment, original.front()->fragment);
        EXPECT_EQ(d.info.type, original.front()->info.type);
    }
}

TEST_F(SenderBinary, SameSeedLosesTheSameDatagrams) {
    const std::string ivf = (dir_ / "frames.ivf").string();
    {
        FakeGateway gw;
        SenderProcess p({"--gateway", gw.address(), "--encode", "vp9", "--frames", "10", "--fps",
                         "100", "--linger-ms", "0", "--save-ivf", ivf},
                        dir_ / "out.txt");
        ASSERT_EQ(p.wait_exit(std::chrono::seconds(10)), 0);
    }
    std::vector<std::set<std::pair<uint32_t, uint16_t>>> runs;
    for (int run = 0; run < 2; ++run) {
        FakeGateway gw;
        SenderProcess p({"--gateway", gw.address(), "--key", kKeyHex, "--ivf", ivf, "--fps", "100",
                         "--loss", "0.3", "--seed", "5", "--linger-ms", "0"},
                        dir_ / "out.txt");
        const auto got = serve(p, gw, false, std::nullopt);
        ASSERT_EQ(p.wait_exit(std::chrono::seconds(10)), 0);
        std::set<std::pair<uint32_t, uint16_t>> seen;
        for (const auto& d : got) seen.insert({d.info.sequence_number, d.info.fragment_id});
        const auto summary = read_summary(dir_ / "out.txt");
        EXPECT_EQ(summary.at("datagrams"), got.size());
        EXPECT_EQ(summary.at("dropped") + summary.at("datagrams"), summary.at("fragments"));
        EXPECT_GT(summary.at("dropped"), 0u);
        runs.push_back(seen);
    }
    EXPECT_EQ(runs[0], runs[1]);
}

TEST_F(SenderBinary, ExpectStatsFailsWithoutStatisticsAndSignalsEndCleanly) {
    FakeGateway silent;
    SenderProcess quiet({"--gateway", silent.address(), "--key", kKeyHex, "--frames", "2", "--fps",
                         "100", "--linger-ms", "0", "--expect-stats"},
                        dir_ / "quiet.txt");
    EXPECT_EQ(quiet.wait_exit(std::chrono::seconds(10)), 2);
    EXPECT_EQ(read_summary(dir_ / "quiet.txt").at("stats"), 0u);

    // Without a run length the encoder goes on until told to stop.
    FakeGateway gw;
    SenderProcess endless({"--gateway", gw.address(), "--key", kKeyHex, "--fps", "100"},
                          dir_ / "endless.txt");
    ASSERT_TRUE(gw.receive(10'000));
    gw.reply(stats_datagram(0));
    // Let a few frames go by so that the statistics have surely been read.
    for (bool later_frame = false; !later_frame;) {
        const auto d = gw.receive(10'000);
        ASSERT_TRUE(d);
        const auto opened = open_datagram(*d, kKey);
        later_frame = opened && opened->info.sequence_number >= 3;
    }
    endless.signal(SIGTERM);
    EXPECT_EQ(endless.wait_exit(std::chrono::seconds(10)), 0);
    const auto summary = read_summary(dir_ / "endless.txt");
    EXPECT_GE(summary.at("frames"), 1u);
    EXPECT_EQ(summary.at("stats"), 1u);
}

}  // namespace
}  // namespace kelvra::norvane::sender
