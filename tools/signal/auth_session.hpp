#pragma once

// Who is asking: log-in by password or by the one-time start-up link, session cookies, API
// tokens, and the audit lines for each.

#include <optional>
#include <string>
#include <string_view>

#include "kelvra/core/time.hpp"
#include "signal/login_throttle.hpp"
#include "signal/user_store.hpp"

namespace kelvra::norvane::signal_server {

struct LoginOutcome {
    unsigned status = 401;
    std::string error;
    // On success: the session cookie's value, and the account.
    std::string cookie;
    std::optional<Account> account;
    int64_t retry_after_s = 0;
};

class Authenticator {
public:
    static constexpr int64_t kSessionSeconds = 12 * 3600;
    // The account the start-up link logs in as. It cannot be a stored account's name, since
    // those hold no blanks or brackets.
    static constexpr const char* kStartupUser = "(start-up-link)";

    // `monotonic` paces the log-in throttle; `wall` (UTC) dates sessions, which outlive
    // restarts.
    Authenticator(UserStore& users, const Clock& monotonic, const Clock& wall);

    // A new one-time secret for the start-up link; the previous one no longer works.
    std::string issue_startup_secret();

    LoginOutcome login(std::string_view user, std::string_view password, std::string_view from);
    LoginOutcome login_with_startup_secret(std::string_view secret, std::string_view from);
    void logout(std::string_view cookie, std::string_view from);

    std::optional<Account> by_cookie(std::string_view cookie);
    // API tokens act as an administrator named "token:<name>".
    std::optional<Account> by_token(std::string_view token);

private:
    LoginOutcome open_session(Account account, std::string_view from, std::string_view how);
    int64_t now_s() const { return wall_.now_us() / 1'000'000; }

    UserStore& users_;
    const Clock& wall_;
    LoginThrottle throttle_;
    std::string startup_digest_;
    // Checked when the account does not exist, so that a wrong name costs as long as a wrong
    // password and does not tell which names exist.
    std::string decoy_hash_;
};

// Microseconds since the Unix epoch, for session expiry.
const Clock& utc_clock();

// A user name as it may appear in a log line: what a client sent is not trusted to be plain.
std::string loggable_name(std::string_view name);

}  // namespace kelvra::norvane::signal_server
