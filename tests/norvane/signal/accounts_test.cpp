// Accounts of the signalling server: password hashes, grants, the log-in throttle, tokens and
// sessions, and the state file across reopening and a crash in the middle of writes.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "signal/auth_session.hpp"
#include "signal/grants.hpp"
#include "signal/login_throttle.hpp"
#include "signal/password_hash.hpp"
#include "signal/state_db.hpp"
#include "signal/user_store.hpp"

namespace kelvra::norvane::signal_server {
namespace {

// Cheap parameters: the tests check the scheme, not the cost.
constexpr ScryptParams kFast{10, 8, 1};

class StateDir : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("norvane-accounts-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    StreamConfig stream(uint32_t addr) { return {{"gw1", addr, 1}, Key{1, 2, 3}, "cam"}; }

    std::filesystem::path dir_;
};

TEST(PasswordHash, VerifiesOnlyTheRightPasswordAndKeepsItsParameters) {
    const std::string first = hash_password("correct horse", kFast);
    const std::string second = hash_password("correct horse", kFast);
    EXPECT_NE(first, second);  // salts differ
    EXPECT_TRUE(verify_password("correct horse", first));
    EXPECT_TRUE(verify_password("correct horse", second));
    EXPECT_FALSE(verify_password("correct horsE", first));
    EXPECT_FALSE(verify_password("", first));

    const auto parsed = PasswordHash::parse(first);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->params.log2_n, 10);
    EXPECT_EQ(parsed->params.r, 8u);
    EXPECT_EQ(parsed->salt.size(), 16u);
    EXPECT_EQ(parsed->text(), first);

    // Damaged or hostile stored texts verify nothing (and cost no gigabytes).
    std::string flipped = first;
    flipped.back() = flipped.back() == '0' ? '1' : '0';
    for (const std::string& bad :
         {flipped, std::string("scrypt$40$8$1$00$00"), std::string("scrypt$10$8$1$zz$00"),
          std::string("plain"), std::string()}) {
        EXPECT_FALSE(verify_password("correct horse", bad)) << bad;
    }
}

TEST(Grants, MatchTheirStreamsOnly) {
    const StreamId front{"gw1", 0xBEEF, 1};
    struct Case {
        const char* pattern;
        bool matches;
    };
    for (const Case& c :
         {Case{"*", true}, Case{"gw1/*", true}, Case{"gw2/*", false}, Case{"gw1/0000beef/*", true},
          Case{"gw1/BEEF/1", true}, Case{"gw1/0000BEEF/2", false}, Case{"gw1/0000BEEE/*", false},
          Case{"gw10/*", false}}) {
        const auto grant = Grant::parse(c.pattern);
        ASSERT_TRUE(grant) << c.pattern;
        EXPECT_EQ(grant->matches(front), c.matches) << c.pattern;
    }
    for (const char* bad : {"", "gw1", "*/*", "gw1/*/1", "gw1/beef", "gw1/beef/1/2", "gw1/xyz/*",
                            "gw1/beef/256", "/beef/1"}) {
        EXPECT_FALSE(Grant::parse(bad)) << bad;
    }
}

TEST(LoginThrottle, DelaysRepeatedFailuresPerAccountAndPerAddress) {
    ManualClock clock;
    LoginThrottle throttle(clock);
    throttle.failed("alice", "10.0.0.1");
    throttle.failed("alice", "10.0.0.1");
    EXPECT_EQ(throttle.wait_us("alice", "10.0.0.1"), 0);
    throttle.failed("alice", "10.0.0.1");
    EXPECT_EQ(throttle.wait_us("alice", "10.0.0.2"), 1'000'000);  // the account, from anywhere
    EXPECT_EQ(throttle.wait_us("bob", "10.0.0.1"), 0);
    clock.advance(1'000'000);
    EXPECT_EQ(throttle.wait_us("alice", "10.0.0.1"), 0);
    throttle.failed("alice", "10.0.0.1");
    EXPECT_EQ(throttle.wait_us("alice", "10.0.0.1"), 2'000'000);
    for (int i = 0; i < 30; ++i) throttle.failed("alice", "10.0.0.3");
    EXPECT_EQ(throttle.wait_us("alice", "10.0.0.1"), LoginThrottle::kMaxDelayUs);
    throttle.succeeded("alice");
    EXPECT_EQ(throttle.wait_us("alice", "10.0.0.1"), 0);

    // One address guessing at many accounts.
    for (int i = 0; i < LoginThrottle::kFreeAddressFailures; ++i) {
        throttle.failed("user" + std::to_string(i), "10.0.0.9");
    }
    EXPECT_GT(throttle.wait_us("someone-else", "10.0.0.9"), 0);
    throttle.succeeded("someone-else");
    EXPECT_GT(throttle.wait_us("someone-else", "10.0.0.9"), 0);
    clock.advance(LoginThrottle::kForgetUs);
    EXPECT_EQ(throttle.wait_us("someone-else", "10.0.0.9"), 0);
}

TEST_F(StateDir, TokensSessionsAndTheStartUpLinkAuthenticateUntilRevokedOrExpired) {
    StateDb state(dir_);
    UserStore users(state.db());
    ManualClock monotonic;
    ManualClock wall(1'700'000'000'000'000);
    Authenticator auth(users, monotonic, wall);
    ASSERT_TRUE(users.add_user("alice", Role::viewer, hash_password("pass-alice", kFast),
                               {*Grant::parse("gw1/*")}));

    const std::string token = random_secret();
    ASSERT_TRUE(users.add_token("ci", secret_digest(token), 0));
    EXPECT_FALSE(users.add_token("ci", secret_digest(random_secret()), 0));
    ASSERT_TRUE(auth.by_token(token));
    EXPECT_EQ(auth.by_token(token)->role, Role::admin);
    EXPECT_FALSE(auth.by_token(token + "0"));
    EXPECT_TRUE(users.delete_token("ci"));
    EXPECT_FALSE(auth.by_token(token));

    EXPECT_EQ(auth.login("alice", "wrong", "10.0.0.1").status, 401u);
    EXPECT_EQ(auth.login("nobody", "pass-alice", "10.0.0.1").status, 401u);
    const LoginOutcome ok = auth.login("alice", "pass-alice", "10.0.0.1");
    ASSERT_EQ(ok.status, 200u);
    const auto account = auth.by_cookie(ok.cookie);
    ASSERT_TRUE(account);
    EXPECT_EQ(account->name, "alice");
    EXPECT_TRUE(account->may_see({"gw1", 1, 1}));
    EXPECT_FALSE(account->may_see({"gw2", 1, 1}));
    wall.advance(Authenticator::kSessionSeconds * 1'000'000);
    EXPECT_FALSE(auth.by_cookie(ok.cookie));

    const LoginOutcome again = auth.login("alice", "pass-alice", "10.0.0.1");
    auth.logout(again.cookie, "10.0.0.1");
    EXPECT_FALSE(auth.by_cookie(again.cookie));
    // A new password ends the sessions of the old one.
    const LoginOutcome before = auth.login("alice", "pass-alice", "10.0.0.1");
    ASSERT_TRUE(users.set_password("alice", hash_password("pass-new", kFast)));
    EXPECT_FALSE(auth.by_cookie(before.cookie));

    const std::string link = auth.issue_startup_secret();
    EXPECT_EQ(auth.login_with_startup_secret(link + "0", "10.0.0.1").status, 401u);
    const LoginOutcome startup = auth.login_with_startup_secret(link, "10.0.0.1");
    ASSERT_EQ(startup.status, 200u);
    EXPECT_EQ(auth.by_cookie(startup.cookie)->role, Role::admin);
    EXPECT_EQ(auth.login_with_startup_secret(link, "10.0.0.1").status, 401u);  // once only
}

TEST_F(StateDir, SeedsStreamsOnceAndKeepsEverythingAcrossReopening) {
    {
        StateDb state(dir_);
        EXPECT_EQ(state.seed_streams({stream(1), stream(2)}).size(), 2u);
        EXPECT_TRUE(state.remove_stream(stream(1).id));
        EXPECT_TRUE(state.add_stream(stream(3)));
        EXPECT_FALSE(state.add_stream(stream(3)));
        UserStore(state.db()).add_user("bob", Role::viewer, "x", {*Grant::parse("gw1/3/1")});
    }
    StateDb state(dir_);
    // The configuration's list is not read again: a removed stream stays removed.
    const auto streams = state.seed_streams({stream(1), stream(2)});
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_EQ(streams[0].id, stream(2).id);
    EXPECT_EQ(streams[1].id, stream(3).id);
    EXPECT_EQ(streams[1].key, stream(3).key);
    const auto bob = UserStore(state.db()).account("bob");
    ASSERT_TRUE(bob);
    EXPECT_TRUE(bob->may_see(stream(3).id));
    EXPECT_FALSE(bob->may_see(stream(2).id));
    EXPECT_EQ(std::filesystem::status(dir_ / StateDb::kFileName).permissions() &
                  std::filesystem::perms::others_read,
              std::filesystem::perms::none);
}

// A process killed with SIGKILL while writing: every change it acknowledged is there after,
// and the one it was in the middle of is not.
TEST_F(StateDir, AcknowledgedWritesSurviveAKillInTheMiddleOfWriting) {
    StateDb(dir_).seed_streams({});
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipe_fds[0]);
        StateDb state(dir_);
        for (uint32_t addr = 1;; ++addr) {
            state.add_stream(stream(addr));
            if (::write(pipe_fds[1], &addr, sizeof(addr)) != sizeof(addr)) ::_exit(1);
            if (addr == 50) {
                // Half way through a change: written but never committed.
                Transaction open(state.db());
                Statement(state.db(), "DELETE FROM streams").run();
                uint32_t mark = 0;
                if (::write(pipe_fds[1], &mark, sizeof(mark)) != sizeof(mark)) ::_exit(1);
                ::pause();
            }
        }
    }
    ::close(pipe_fds[1]);
    uint32_t acknowledged = 0;
    for (uint32_t value = 0; ::read(pipe_fds[0], &value, sizeof(value)) == sizeof(value);) {
        if (value == 0) break;
        acknowledged = value;
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(pipe_fds[0]);
    ASSERT_EQ(acknowledged, 50u);
    EXPECT_EQ(StateDb(dir_).streams().size(), 50u);
}

}  // namespace
}  // namespace kelvra::norvane::signal_server
