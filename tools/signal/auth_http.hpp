#pragma once

// The HTTP side of accounts: POST /api/login, POST /api/logout and GET /api/me, and the check
// that every other API request, WebSocket and the metrics page carry a session cookie or an
// API token.

#include <libsoup/soup.h>

#include <optional>
#include <string>
#include <string_view>

#include "signal/auth_session.hpp"

namespace kelvra::norvane::signal_server {

class AuthHttp {
public:
    static constexpr const char* kCookie = "norvane_session";

    // `secure`: the server speaks TLS, so cookies are marked Secure. `open_metrics`: the
    // server listens on loopback only, where the metrics page needs no token.
    AuthHttp(Authenticator& auth, bool secure, bool open_metrics)
        : auth_(auth), secure_(secure), open_metrics_(open_metrics) {}

    // Handles /api/login, /api/logout and /api/me; anything else under /api is unknown.
    void handle(SoupServerMessage* message, std::string_view path);

    // The requesting account, or nothing after answering 401 (no account) or 403 (not an
    // administrator while `admin_only`).
    std::optional<Account> require(SoupServerMessage* message, bool admin_only);
    // For the metrics page: true when it may be served, else answers 401 or 403.
    bool admit_metrics(SoupServerMessage* message);
    // Answers 401 early, before a WebSocket upgrade, when no account is named.
    void refuse_anonymous_upgrade(SoupServerMessage* message);
    // The account a session cookie or an API token names, answering nothing.
    std::optional<Account> account_of(SoupServerMessage* message);

private:
    void dispatch(SoupServerMessage* message, std::string_view path);
    void on_login(SoupServerMessage* message);
    void on_logout(SoupServerMessage* message);
    void set_cookie(SoupServerMessage* message, const std::string& value, int64_t max_age_s);

    Authenticator& auth_;
    bool secure_;
    bool open_metrics_;
};

// The value of a cookie in a Cookie header; empty when absent.
std::string cookie_value(std::string_view header, std::string_view name);

}  // namespace kelvra::norvane::signal_server
