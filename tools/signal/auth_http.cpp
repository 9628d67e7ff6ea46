#include "signal/auth_http.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <nlohmann/json.hpp>

#include "signal/glib_ref.hpp"

namespace kelvra::norvane::signal_server {

namespace {

using nlohmann::json;

void respond(SoupServerMessage* message, unsigned status, const json& body) {
    const std::string text = body.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    soup_server_message_set_status(message, status, nullptr);
    soup_server_message_set_response(message, "application/json", SOUP_MEMORY_COPY, text.data(),
                                     text.size());
}

std::string remote_of(SoupServerMessage* message) {
    const char* host = soup_server_message_get_remote_host(message);
    return host != nullptr ? host : "?";
}

std::string_view header(SoupServerMessage* message, const char* name) {
    const char* value =
        soup_message_headers_get_one(soup_server_message_get_request_headers(message), name);
    return value != nullptr ? value : "";
}

json account_json(const Account& account) {
    json grants = json::array();
    for (const Grant& grant : account.grants) grants.push_back(grant.pattern());
    return {{"user", account.name}, {"role", role_name(account.role)}, {"grants", grants}};
}

}  // namespace

std::string cookie_value(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const size_t end = std::min(header.find(';'), header.size());
        std::string_view pair = header.substr(0, end);
        header.remove_prefix(std::min(header.size(), end + 1));
        while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
        const size_t equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            return std::string(pair.substr(equals + 1));
        }
    }
    return {};
}

std::optional<Account> AuthHttp::account_of(SoupServerMessage* message) {
    const std::string_view authorization = header(message, "Authorization");
    // An unreadable database lets no one in; it must not end the server either.
    try {
        if (authorization.starts_with("Bearer ")) return auth_.by_token(authorization.substr(7));
        return auth_.by_cookie(cookie_value(header(message, "Cookie"), kCookie));
    } catch (const StateError& error) {
        spdlog::error("{}", error.what());
        return std::nullopt;
    }
}

std::optional<Account> AuthHttp::require(SoupServerMessage* message, bool admin_only) {
    auto account = account_of(message);
    if (!account) {
        respond(message, SOUP_STATUS_UNAUTHORIZED, {{"error", "log-in required"}});
        return std::nullopt;
    }
    if (admin_only && account->role != Role::admin) {
        respond(message, SOUP_STATUS_FORBIDDEN, {{"error", "not allowed"}});
        return std::nullopt;
    }
    return account;
}

bool AuthHttp::admit_metrics(SoupServerMessage* message) {
    return open_metrics_ || require(message, true).has_value();
}

void AuthHttp::refuse_anonymous_upgrade(SoupServerMessage* message) {
    if (!account_of(message)) {
        respond(message, SOUP_STATUS_UNAUTHORIZED, {{"error", "log-in required"}});
    }
}

void AuthHttp::set_cookie(SoupServerMessage* message, const std::string& value, int64_t max_age_s) {
    soup_message_headers_append(
        soup_server_message_get_response_headers(message), "Set-Cookie",
        fmt::format("{}={}; Path=/; Max-Age={}; HttpOnly; SameSite=Strict{}", kCookie, value,
                    max_age_s, secure_ ? "; Secure" : "")
            .c_str());
}

void AuthHttp::handle(SoupServerMessage* message, std::string_view path) {
    try {
        dispatch(message, path);
    } catch (const StateError& error) {
        spdlog::error("{}", error.what());
        respond(message, SOUP_STATUS_INTERNAL_SERVER_ERROR, {{"error", "state database failed"}});
    }
}

void AuthHttp::dispatch(SoupServerMessage* message, std::string_view path) {
    const std::string_view method = soup_server_message_get_method(message);
    if (path == "/api/login") {
        if (method != "POST")
            return respond(message, SOUP_STATUS_METHOD_NOT_ALLOWED, {{"error", "use POST"}});
        return on_login(message);
    }
    if (path == "/api/logout") {
        if (method != "POST")
            return respond(message, SOUP_STATUS_METHOD_NOT_ALLOWED, {{"error", "use POST"}});
        return on_logout(message);
    }
    if (path == "/api/me") {
        if (const auto account = require(message, false)) {
            respond(message, SOUP_STATUS_OK, account_json(*account));
        }
        return;
    }
    // Unknown resources are not told apart from known ones before log-in.
    if (require(message, false))
        respond(message, SOUP_STATUS_NOT_FOUND, {{"error", "no such resource"}});
}

void AuthHttp::on_login(SoupServerMessage* message) {
    // A form post could come from any page; a JSON one needs a preflight never granted here.
    const char* type = soup_message_headers_get_content_type(
        soup_server_message_get_request_headers(message), nullptr);
    if (type == nullptr || std::string_view(type) != "application/json") {
        return respond(message, SOUP_STATUS_UNSUPPORTED_MEDIA_TYPE,
                       {{"error", "Content-Type must be application/json"}});
    }
    GBytesPtr bytes(soup_message_body_flatten(soup_server_message_get_request_body(message)));
    gsize size = 0;
    const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
    const json request =
        json::parse(std::string_view(data != nullptr ? data : "", size), nullptr, false);
    const auto text = [&](const char* key) -> const std::string* {
        if (!request.is_object()) return nullptr;
        const auto it = request.find(key);
        return it != request.end() && it->is_string() ? it->get_ptr<const std::string*>() : nullptr;
    };
    const std::string from = remote_of(message);
    LoginOutcome outcome;
    if (const std::string* token = text("token")) {
        outcome = auth_.login_with_startup_secret(*token, from);
    } else if (const std::string* user = text("user"); user && text("password")) {
        outcome = auth_.login(*user, *text("password"), from);
    } else {
        return respond(message, SOUP_STATUS_BAD_REQUEST,
                       {{"error", "send {\"user\", \"password\"} or {\"token\"}"}});
    }
    if (outcome.status != 200) {
        if (outcome.retry_after_s > 0) {
            soup_message_headers_replace(soup_server_message_get_response_headers(message),
                                         "Retry-After",
                                         std::to_string(outcome.retry_after_s).c_str());
        }
        return respond(message, outcome.status, {{"error", outcome.error}});
    }
    set_cookie(message, outcome.cookie, Authenticator::kSessionSeconds);
    respond(message, SOUP_STATUS_OK, account_json(*outcome.account));
}

void AuthHttp::on_logout(SoupServerMessage* message) {
    const std::string cookie = cookie_value(header(message, "Cookie"), kCookie);
    if (!cookie.empty()) auth_.logout(cookie, remote_of(message));
    set_cookie(message, "", 0);
    respond(message, SOUP_STATUS_OK, {{"logged_out", true}});
}

}  // namespace kelvra::norvane::signal_server
