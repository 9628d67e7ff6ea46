#include "support/gateway_sessions.hpp"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace kelvra::testing {

using namespace std::chrono_literals;
using msgs::video::session_response;

std::vector<int> spawned_children(const std::string& log) {
    std::vector<int> pids;
    for (const auto& pid : log_matches(log, "Spawned session with pid ([0-9]+)"))
        pids.push_back(std::stoi(pid));
    return pids;
}

namespace {

// State letter and parent pid of `pid` from /proc (state 0 when it does not exist).
std::pair<char, int> process_state(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos || close + 2 >= text.size()) return {0, 0};
    std::istringstream fields(text.substr(close + 2));
    char state = 0;
    int ppid = 0;
    fields >> state >> ppid;
    return {state, ppid};
}

}  // namespace

bool alive(int pid) {
    const char state = process_state(std::to_string(pid)).first;
    return state != 0 && state != 'Z';
}

bool wait_until_gone(int pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (alive(pid)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

size_t open_descriptors(int pid) {
    std::error_code error;
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd", error);
    return error ? 0 : static_cast<size_t>(std::distance(fds, {}));
}

std::vector<std::pair<int, char>> children_of(int pid) {
    std::vector<std::pair<int, char>> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (!std::isdigit(static_cast<unsigned char>(name[0]))) continue;
        const auto [state, ppid] = process_state(name);
        if (state != 0 && ppid == pid) children.emplace_back(std::stoi(name), state);
    }
    return children;
}

size_t zombies_of(int pid) {
    const auto children = children_of(pid);
    return std::count_if(children.begin(), children.end(),
                         [](const auto& child) { return child.second == 'Z'; });
}

void GatewaySessionsFixture::SetUp() {
    GatewayConfig config;
    config.signalling_port = peer.port();
    config.log_level = 1;
    config.ice_local_addresses = {"127.0.0.1"};
    configure(config);
    gateway = std::make_unique<GatewayProcess>(config);
    ASSERT_TRUE(peer.accept(5s)) << gateway->log();
    ASSERT_TRUE(peer.send_set_stream(kTestManet, kTestCamera, true, kTestStreamKey));
    ASSERT_TRUE(gateway->wait_for_log("Add new stream with manet address beef and camera 1", 5s));
}

void GatewaySessionsFixture::TearDown() {
    if (sender) sender->send_signal(SIGTERM);
    if (HasFailure()) std::cerr << gateway->log().substr(0, 60000) << "\n";
}

void GatewaySessionsFixture::start_sender(const std::string& codec, int frames,
                                          const std::vector<std::string>& more) {
    const std::vector<std::pair<std::string, std::string>> defaults{
        {"--gateway", gateway->gateway_address()},
        {"--manet-addr", kTestManetHex},
        {"--camera", std::to_string(kTestCamera)},
        {"--key", kTestStreamKeyHex},
        {"--encode", codec},
        {"--frames", std::to_string(frames)},
        {"--fps", "30"},
        {"--detections", "2"},
        {"--width", std::to_string(kTestWidth)},
        {"--height", std::to_string(kTestHeight)},
        {"--linger-ms", "0"}};
    std::vector<std::string> args = more;
    for (const auto& [option, value] : defaults) {
        if (std::find(more.begin(), more.end(), option) != more.end()) continue;
        args.push_back(option);
        args.push_back(value);
    }
    sender = std::make_unique<ProcessRunner>(NORVANE_SENDER_BINARY, args);
}

std::pair<session_response, size_t> GatewaySessionsFixture::request_session(uint32_t consumer_id) {
    const size_t before = peer.count(session_response::TYPE);
    EXPECT_TRUE(peer.send_session_request(kTestManet, consumer_id, kTestCamera));
    auto response = peer.wait_for<session_response>(5s);
    EXPECT_TRUE(response) << gateway->log();
    EXPECT_EQ(peer.count(session_response::TYPE), before + 1);
    if (!response) return {};
    EXPECT_EQ(response->manet_addr, kTestManet);
    EXPECT_EQ(response->consumer_id, consumer_id);
    EXPECT_EQ(response->camera_type, kTestCamera);
    return {*response, response->frame_size()};
}

void GatewaySessionsFixture::expect_ok(uint32_t consumer_id) {
    const auto [response, length] = request_session(consumer_id);
    EXPECT_EQ(response.result, 0);
    EXPECT_STREQ(response.status, "OK");
    EXPECT_EQ(length, 21u);
}

bool GatewaySessionsFixture::watch(WebrtcViewer& viewer, uint64_t frames,
                                   std::chrono::milliseconds timeout) {
    return relay.run_until([&] { return viewer.decoded_frames() >= frames; }, timeout);
}

}  // namespace kelvra::testing
