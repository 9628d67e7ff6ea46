// Faults the gateway has to live through while it serves viewers: a data directory it cannot
// write, running out of descriptors, session children killed at any point of their lives and a
// signalling server that comes and goes. A child that stops reading its pipe is the session
// pipe's unit test.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "support/gateway_sessions.hpp"

namespace kelvra::testing {
namespace {

using namespace std::chrono_literals;
using msgs::video::stream_state;

class GatewayFaults : public GatewaySessionsFixture {
protected:
    int gateway_pid() { return gateway->process().pid(); }
    // `viewer` decodes 20 frames beyond what it has decoded so far.
    bool keeps_decoding(WebrtcViewer& viewer) {
        return watch(viewer, viewer.decoded_frames() + 20);
    }
};

// Stream BEEF's flight directory exists on a read-only file system, so its statistics file
// cannot be opened; BEF0's flight directory cannot be created there; BEF1's lies on a full one.
class UnwritableSaveDir : public GatewayFaults {
protected:
    void SetUp() override {
        if (std::system("unshare --mount true") != 0) GTEST_SKIP() << "no mount namespaces";
        GatewayFaults::SetUp();
    }

    void configure(GatewayConfig& config) override {
        config.log_statistics = true;
        config.own_mount_namespace = true;
        config.setup_command =
            "f=\"$dir/flights\"; mkdir -p \"$f/0000BEEF/1/1\" \"$f/0000BEF1\"\n"
            "mount --bind \"$f\" \"$f\"; mount -o remount,bind,ro \"$f\"\n"
            "mount -t tmpfs -o size=64k tmpfs \"$f/0000BEF1\"\n"
            "dd if=/dev/zero of=\"$f/0000BEF1/fill\" bs=4k 2>/dev/null || true\n";
    }
};

TEST_F(UnwritableSaveDir, FlightRecordsFailAndVideoKeepsFlowing) {
    for (uint32_t manet : {0x0000BEF0u, 0x0000BEF1u}) {
        ASSERT_TRUE(peer.send_set_stream(manet, kTestCamera, true, kTestStreamKey));
    }
    ASSERT_TRUE(gateway->wait_for_log("Add new stream with manet address bef1", 5s));
    expect_ok(1);
    WebrtcViewer viewer;
    relay.attach(1, viewer);
    constexpr int kFrames = 300;
    start_sender("vp8", kFrames, {"--streams", "3"});

    ASSERT_TRUE(watch(viewer, 30)) << viewer.describe();
    const std::string flights = gateway->save_dir().string();
    EXPECT_TRUE(
        gateway->wait_for_log("Failed to open statistics file " + flights + "/0000BEEF/1/1/", 5s));
    EXPECT_TRUE(gateway->wait_for_log(
        "Failed to create flight directory " + flights + "/0000BEF0/1/1", 5s));
    EXPECT_TRUE(
        gateway->wait_for_log("Creating flight directory: " + flights + "/0000BEF1/1/1", 5s));
    // Every frame of all three streams is still released.
    ASSERT_TRUE(sender->wait(30s));
    EXPECT_TRUE(
        gateway->wait_for_log("Norvane::send_new_frames got detections", 10s, 3 * kFrames - 6));
    EXPECT_TRUE(alive(gateway_pid()));
    EXPECT_GT(sender_summary(sender->out())["stats"], 0u);
}

// The descriptor limit under which `pid` has exactly `free` descriptor numbers left: new
// descriptors take the lowest free numbers, and the limit bounds the numbers, not the count.
rlim_t limit_leaving_free(int pid, size_t free) {
    std::set<int> open;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        open.insert(std::stoi(entry.path().filename().string()));
    }
    rlim_t limit = 0;
    for (size_t left = free + 1; left > 0; ++limit) left -= open.count(limit) == 0;
    return limit - 1;
}

// Gateway descriptor limit, soft limit only (lowering it needs no privilege).
void set_descriptor_limit(int pid, rlim_t soft) {
    rlimit current{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &current), 0);
    current.rlim_cur = soft;
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &current, nullptr), 0);
}

TEST_F(GatewayFaults, ASessionWithoutDescriptorsIsRefusedAndLeaksNothing) {
    expect_ok(1);
    rlimit original{};
    ASSERT_EQ(prlimit(gateway_pid(), RLIMIT_NOFILE, nullptr, &original), 0);
    const size_t descriptors = open_descriptors(gateway_pid());

    // Room for the first of the two pipes but not the second.
    set_descriptor_limit(gateway_pid(), limit_leaving_free(gateway_pid(), 2));
    const auto [refused, length] = request_session(2);
    EXPECT_EQ(refused.result, -1);
    EXPECT_STREQ(refused.status, "Internal error");
    EXPECT_EQ(length, 33u);
    EXPECT_EQ(gateway->count("Failed to create data pipes"), 1u);
    EXPECT_EQ(open_descriptors(gateway_pid()), descriptors);
    EXPECT_EQ(spawned_children(gateway->log()).size(), 1u);

    set_descriptor_limit(gateway_pid(), original.rlim_cur);
    expect_ok(2);
    EXPECT_EQ(open_descriptors(gateway_pid()), descriptors + 4);
}

TEST_F(GatewayFaults, ChildKilledAtAnyStageIsCleanedUpAndItsConsumerMayReturn) {
    expect_ok(100);
    WebrtcViewer steady;
    relay.attach(100, steady);
    start_sender("vp8", 3000);
    ASSERT_TRUE(watch(steady, 20)) << steady.describe();

    const size_t descriptors = open_descriptors(gateway_pid());
    // Consumer 1 asks for a session (served by `viewer`, or by nobody), its child is taken to
    // `stage` and killed there.
    const auto kill_at = [&](const char* stage, WebrtcViewer* viewer,
                             const std::function<bool()>& reached) {
        SCOPED_TRACE(stage);
        if (viewer != nullptr) {
            relay.attach(1, *viewer);
        } else {
            relay.detach(1);
        }
        expect_ok(1);
        const int pid = spawned_children(gateway->log()).back();
        ASSERT_TRUE(relay.run_until(reached, 20s));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        // Reaped, then its session removed.
        EXPECT_TRUE(gateway->wait_for_log("Child " + std::to_string(pid) + " terminated.", 5s));
        EXPECT_TRUE(
            gateway->wait_for_log("Session " + std::to_string(pid) + " terminated itself!", 5s));
        EXPECT_TRUE(keeps_decoding(steady)) << steady.describe();
        EXPECT_EQ(open_descriptors(gateway_pid()), descriptors);
    };

    // Right after the fork, before the relay has heard from the child.
    kill_at("before the offer", nullptr, [] { return true; });
    // Its offer and candidates are out, but nobody answers.
    const size_t offers = relay.offers(1);
    kill_at("during ICE", nullptr, [&] { return relay.offers(1) > offers; });
    WebrtcViewer viewer;
    kill_at("while streaming", &viewer, [&] { return viewer.decoded_frames() >= 10; });

    expect_ok(1);
    EXPECT_EQ(zombies_of(gateway_pid()), 0u);
    EXPECT_EQ(gateway->count("terminated itself!"), 3u);
}

// How the client loses and regains the server (a cut record, a close) is its unit test's;
// here the viewers' sessions and media live through the server crashing and being away.
TEST_F(GatewayFaults, StreamingOutlivesASignallingServerThatComesAndGoes) {
    expect_ok(1);
    WebrtcViewer viewer;
    relay.attach(1, viewer);
    start_sender("vp8", 3000);
    ASSERT_TRUE(watch(viewer, 20)) << viewer.describe();

    const size_t tried = gateway->count("Trying to connect to");
    // Gone abortively, as a crashed server looks, and refused at least once before it is back.
    peer.stop_listening();
    peer.reset_connection();
    ASSERT_TRUE(gateway->wait_for_log("Trying to connect to", 10s, tried + 2));
    // The viewer's media does not go through the server.
    ASSERT_TRUE(viewer.wait_for_decoded_frames(viewer.decoded_frames() + 20, 10s))
        << viewer.describe();
    ASSERT_TRUE(peer.listen_again());
    ASSERT_TRUE(peer.accept(10s)) << gateway->log();
    const size_t states = peer.count(stream_state::TYPE);
    EXPECT_TRUE(relay.run_until([&] { return peer.count(stream_state::TYPE) > states; }, 5s));
    EXPECT_TRUE(keeps_decoding(viewer)) << viewer.describe();
    // The server's requests are understood again.
    expect_ok(2);
    EXPECT_EQ(spawned_children(gateway->log()).size(), 2u);
    EXPECT_EQ(gateway->count("terminated"), 0u);
}

}  // namespace
}  // namespace kelvra::testing
