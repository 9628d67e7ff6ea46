#include "signal/auth_session.hpp"

#include <fmt/format.h>
#include <openssl/crypto.h>
#include <spdlog/spdlog.h>

#include "signal/password_hash.hpp"

namespace kelvra::norvane::signal_server {

const Clock& utc_clock() {
    static const struct UtcClock final : Clock {
        int64_t now_us() const override { return time_utc_us(); }
    } clock;
    return clock;
}

std::string loggable_name(std::string_view name) {
    const bool token = name.starts_with("token:") && valid_account_name(name.substr(6));
    if (token || valid_account_name(name) || name == Authenticator::kStartupUser) {
        return std::string(name);
    }
    std::string out;
    for (const char c : name.substr(0, 64)) out += (c > ' ' && c < 0x7F && c != '"') ? c : '?';
    return "\"" + out + "\"";
}

Authenticator::Authenticator(UserStore& users, const Clock& monotonic, const Clock& wall)
    : users_(users), wall_(wall), throttle_(monotonic) {}

std::string Authenticator::issue_startup_secret() {
    std::string secret = random_secret();
    startup_digest_ = secret_digest(secret);
    return secret;
}

LoginOutcome Authenticator::open_session(Account account, std::string_view from,
                                         std::string_view how) {
    LoginOutcome outcome;
    outcome.status = 200;
    outcome.cookie = random_secret();
    users_.add_session(secret_digest(outcome.cookie), account.name, now_s() + kSessionSeconds);
    users_.delete_expired_sessions(now_s());
    spdlog::info("audit: login user={} from={} by={}", loggable_name(account.name), from, how);
    outcome.account = std::move(account);
    return outcome;
}

LoginOutcome Authenticator::login(std::string_view user, std::string_view password,
                                  std::string_view from) {
    if (const int64_t wait = throttle_.wait_us(user, from); wait > 0) {
        LoginOutcome outcome;
        outcome.status = 429;
        outcome.retry_after_s = (wait + 999'999) / 1'000'000;
        outcome.error =
            fmt::format("too many failed log-ins; try again in {} s", outcome.retry_after_s);
        spdlog::warn("audit: login_throttled user={} from={} wait={}s", loggable_name(user), from,
                     outcome.retry_after_s);
        return outcome;
    }
    const auto stored = valid_account_name(user) ? users_.password_hash(user) : std::nullopt;
    if (!stored && decoy_hash_.empty()) decoy_hash_ = hash_password("decoy");
    const bool right =
        verify_password(password, stored ? *stored : decoy_hash_) && stored.has_value();
    auto account = right ? users_.account(user) : std::nullopt;
    if (!account) {
        throttle_.failed(user, from);
        spdlog::warn("audit: login_failed user={} from={}", loggable_name(user), from);
        LoginOutcome outcome;
        outcome.error = "wrong user name or password";
        return outcome;
    }
    throttle_.succeeded(user);
    return open_session(std::move(*account), from, "password");
}

LoginOutcome Authenticator::login_with_startup_secret(std::string_view secret,
                                                      std::string_view from) {
    const std::string digest = secret_digest(secret);
    if (startup_digest_.empty() ||
        CRYPTO_memcmp(digest.data(), startup_digest_.data(), digest.size()) != 0) {
        spdlog::warn("audit: login_failed user={} from={}", kStartupUser, from);
        LoginOutcome outcome;
        outcome.error = "this log-in link is used up or wrong; log in with a password";
        return outcome;
    }
    // One use only: the link may stay in a browser's history or a terminal's scroll-back.
    startup_digest_.clear();
    return open_session({kStartupUser, Role::admin, {}}, from, "start-up-link");
}

void Authenticator::logout(std::string_view cookie, std::string_view from) {
    const std::string digest = secret_digest(cookie);
    const auto user = users_.session_user(digest, now_s());
    users_.delete_session(digest);
    if (user) spdlog::info("audit: logout user={} from={}", loggable_name(*user), from);
}

std::optional<Account> Authenticator::by_cookie(std::string_view cookie) {
    if (cookie.empty()) return std::nullopt;
    const auto user = users_.session_user(secret_digest(cookie), now_s());
    if (!user) return std::nullopt;
    if (*user == kStartupUser) return Account{kStartupUser, Role::admin, {}};
    return users_.account(*user);
}

std::optional<Account> Authenticator::by_token(std::string_view token) {
    if (token.empty()) return std::nullopt;
    const auto name = users_.token_name(secret_digest(token));
    if (!name) return std::nullopt;
    return Account{"token:" + *name, Role::admin, {}};
}

}  // namespace kelvra::norvane::signal_server
