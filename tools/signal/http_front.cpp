#include "signal/http_front.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace kelvra::norvane::signal_server {

namespace {

constexpr unsigned kTooManyRequests = 429;  // not named by this libsoup

void respond(SoupServerMessage* message, unsigned status, const char* type,
             const std::string& body) {
    soup_server_message_set_status(message, status,
                                   status == kTooManyRequests ? "Too Many Requests" : nullptr);
    soup_server_message_set_response(message, type, SOUP_MEMORY_COPY, body.data(), body.size());
}

void respond_json(SoupServerMessage* message, const ApiResult& result) {
    respond(message, result.status, "application/json",
            result.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
}

void respond_error(SoupServerMessage* message, unsigned status, const std::string& text) {
    respond_json(message, {status, {{"error", text}}});
}

bool method_is(SoupServerMessage* message, const char* method) {
    return std::string_view(soup_server_message_get_method(message)) == method;
}

std::string peer_of(SoupServerMessage* message) {
    GSocketAddress* remote = soup_server_message_get_remote_address(message);
    if (remote == nullptr || !G_IS_INET_SOCKET_ADDRESS(remote)) return "unknown";
    auto* inet = G_INET_SOCKET_ADDRESS(remote);
    GCharPtr host(g_inet_address_to_string(g_inet_socket_address_get_address(inet)));
    return fmt::format("{}:{}", host.get(), g_inet_socket_address_get_port(inet));
}

// Splits "a/b/c" into its segments.
std::vector<std::string_view> segments_of(std::string_view path) {
    std::vector<std::string_view> out;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        out.push_back(path.substr(0, slash));
        if (slash == std::string_view::npos) break;
        path.remove_prefix(slash + 1);
    }
    return out;
}

}  // namespace

HttpFront::HttpFront(const ServerConfig& config, SignalHub& hub, ViewerConnections& viewers,
                     AuthHttp& auth, StateDb& state)
    : config_(config),
      hub_(hub),
      viewers_(viewers),
      auth_(auth),
      state_(state),
      files_(config.web_root),
      admission_(config.public_hosts, config.http_port, config.limits.http_max_ranges),
      connections_(config.limits.http_connections, config.limits.http_request_seconds) {}

HttpFront::~HttpFront() {
    if (server_) soup_server_disconnect(server_.get());
}

void HttpFront::start() {
    server_.reset(soup_server_new("server-header", "norvane-signal ", nullptr));
    // Compressed messages could inflate far beyond the message bound.
    soup_server_remove_websocket_extension(server_.get(), SOUP_TYPE_WEBSOCKET_EXTENSION_DEFLATE);
    g_signal_connect(server_.get(), "request-started", G_CALLBACK(on_request_started_static), this);
    soup_server_add_handler(server_.get(), "/api/streams", on_api_static, this, nullptr);
    soup_server_add_handler(server_.get(), "/api", on_account_api_static, this, nullptr);
    soup_server_add_handler(server_.get(), "/metrics", on_metrics_static, this, nullptr);
    soup_server_add_websocket_handler(server_.get(), "/ws", nullptr, nullptr, on_websocket_static,
                                      this, nullptr);
    soup_server_add_handler(server_.get(), nullptr, on_file_static, this, nullptr);

    GObjectPtr<GInetAddress> address(g_inet_address_new_from_string(config_.http_address.c_str()));
    if (!address) {
        throw std::runtime_error(
            fmt::format("http_address: '{}' is no IP address", config_.http_address));
    }
    GObjectPtr<GSocketAddress> socket_address(
        g_inet_socket_address_new(address.get(), config_.http_port));
    GError* raw_error = nullptr;
    const bool tls = !config_.tls_cert.empty();
    if (tls) {
        GObjectPtr<GTlsCertificate> certificate(g_tls_certificate_new_from_files(
            config_.tls_cert.c_str(), config_.tls_key.c_str(), &raw_error));
        if (!certificate) {
            GErrorPtr error(raw_error);
            throw std::runtime_error(fmt::format("tls_cert/tls_key: {}", error->message));
        }
        soup_server_set_tls_certificate(server_.get(), certificate.get());
    }
    if (!soup_server_listen(
            server_.get(), socket_address.get(),
            tls ? SOUP_SERVER_LISTEN_HTTPS : static_cast<SoupServerListenOptions>(0), &raw_error)) {
        GErrorPtr error(raw_error);
        throw std::runtime_error(fmt::format("cannot listen on {}:{}: {}", config_.http_address,
                                             config_.http_port, error->message));
    }
    spdlog::info("HTTP on {}", base_url());
}

std::string HttpFront::base_url() const {
    // A wildcard address is reached on loopback from this machine.
    std::string host = config_.http_address;
    if (host == "0.0.0.0") host = "127.0.0.1";
    if (host == "::") host = "::1";
    if (host.find(':') != std::string::npos) host = "[" + host + "]";
    return fmt::format("{}://{}:{}/", config_.tls_cert.empty() ? "http" : "https", host,
                       config_.http_port);
}

void HttpFront::on_request_started_static(SoupServer*, SoupServerMessage* message, gpointer self) {
    auto* front = static_cast<HttpFront*>(self);
    if (!front->connections_.request_started(soup_server_message_get_socket(message),
                                             peer_of(message))) {
        return;
    }
    g_signal_connect(message, "got-headers", G_CALLBACK(on_got_headers_static), self);
    g_signal_connect(message, "got-body", G_CALLBACK(on_got_body_static), self);
}

void HttpFront::on_got_body_static(SoupServerMessage* message, gpointer self) {
    static_cast<HttpFront*>(self)->connections_.request_read(
        soup_server_message_get_socket(message));
}

void HttpFront::on_got_headers_static(SoupServerMessage* message, gpointer self) {
    static_cast<HttpFront*>(self)->on_got_headers(message);
}

// A status set here makes the server answer without reading the body.
void HttpFront::on_got_headers(SoupServerMessage* message) {
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(message);
    const char* path = g_uri_get_path(soup_server_message_get_uri(message));
    const AdmissionRequest request{soup_server_message_get_method(message),
                                   path != nullptr ? path : "",
                                   soup_message_headers_get_one(headers, "Host"),
                                   soup_message_headers_get_one(headers, "Origin"),
                                   soup_message_headers_get_one(headers, "Range")};
    if (const auto refusal = admission_.check(request)) {
        spdlog::warn("HTTP client {}: {} {} refused: {} (Host '{}', Origin '{}')", peer_of(message),
                     request.method, request.path, refusal->error,
                     request.host != nullptr ? request.host : "",
                     request.origin != nullptr ? request.origin : "");
        respond_error(message, refusal->status, refusal->error);
        return;
    }
    const SoupEncoding encoding = soup_message_headers_get_encoding(headers);
    if (encoding == SOUP_ENCODING_CHUNKED ||
        (encoding == SOUP_ENCODING_CONTENT_LENGTH &&
         soup_message_headers_get_content_length(headers) > kMaxRequestBody)) {
        spdlog::warn("HTTP client {}: {} {} refused: request body too large", peer_of(message),
                     request.method, request.path);
        respond_error(message, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, "request body too large");
        return;
    }
    if (request.path != "/ws") return;
    // A WebSocket without an account is refused before the upgrade, with a status a client can
    // read.
    const auto account = auth_.account_of(message);
    if (!account) {
        respond_error(message, SOUP_STATUS_UNAUTHORIZED, "log-in required");
        return;
    }
    if (viewers_.size() >= config_.limits.websocket_connections) {
        spdlog::warn("HTTP client {}: limit reached: {} websocket connections", peer_of(message),
                     viewers_.size());
        respond_error(message, kTooManyRequests, "limit reached: websocket connections");
        return;
    }
    // One account shared by many, or one leaking client, must not take every connection.
    const size_t of_account = viewers_.count_of(account->name);
    if (of_account >= config_.limits.websocket_connections_per_account) {
        spdlog::warn("HTTP client {}: limit reached: {} websocket connections of user {}",
                     peer_of(message), of_account, loggable_name(account->name));
        respond_error(message, kTooManyRequests,
                      "limit reached: websocket connections per account");
    }
}

void HttpFront::on_api_static(SoupServer*, SoupServerMessage* message, const char* path,
                              GHashTable*, gpointer self) {
    static_cast<HttpFront*>(self)->on_api(message, path);
}

void HttpFront::on_account_api_static(SoupServer*, SoupServerMessage* message, const char* path,
                                      GHashTable*, gpointer self) {
    static_cast<HttpFront*>(self)->auth_.handle(message, path);
}

void HttpFront::on_api(SoupServerMessage* message, const char* path) {
    // Viewers may list what they are granted; only administrators change anything.
    const auto account = auth_.require(message, !method_is(message, SOUP_METHOD_GET));
    if (!account) return;
    const std::string_view full(path);
    const std::string_view base = "/api/streams";
    if (full == base || full == "/api/streams/") {
        if (method_is(message, SOUP_METHOD_GET)) {
            respond_json(message, {200, {{"streams", hub_.streams_json([&](const StreamId& id) {
                                              return account->may_see(id);
                                          })}}});
            return;
        }
        if (method_is(message, SOUP_METHOD_POST)) {
            // A plain-text POST could come from any web page the operator visits; a JSON one
            // needs a preflight this server never grants.
            const char* type = soup_message_headers_get_content_type(
                soup_server_message_get_request_headers(message), nullptr);
            if (type == nullptr || std::string_view(type) != "application/json") {
                respond_error(message, SOUP_STATUS_UNSUPPORTED_MEDIA_TYPE,
                              "Content-Type must be application/json");
                return;
            }
            SoupMessageBody* body = soup_server_message_get_request_body(message);
            GBytesPtr bytes(soup_message_body_flatten(body));
            gsize size = 0;
            const auto* data = static_cast<const char*>(g_bytes_get_data(bytes.get(), &size));
            const std::string_view text(data != nullptr ? data : "", size);
            ApiResult result = hub_.add_stream(text, peer_of(message));
            spdlog::info("POST /api/streams: {}", result.status);
            if (result.status == 201) {
                const auto stream = parse_stream_config(nlohmann::json::parse(text), "");
                try {
                    state_.add_stream(stream);
                    spdlog::info("audit: stream_add user={} from={} stream={}",
                                 loggable_name(account->name), peer_of(message), stream.id.text());
                } catch (const StateError& error) {
                    // Not stored, so not kept: it would vanish at the next start.
                    spdlog::error("{}", error.what());
                    hub_.remove_stream(stream.id.gateway, format_manet_addr(stream.id.manet_addr),
                                       std::to_string(stream.id.camera));
                    result = {500, {{"error", "the stream could not be stored"}}};
                }
            }
            respond_json(message, result);
            return;
        }
        respond_error(message, SOUP_STATUS_METHOD_NOT_ALLOWED, "use GET or POST");
        return;
    }
    const auto parts = segments_of(full.substr(std::min(full.size(), base.size() + 1)));
    if (full.substr(0, base.size() + 1) != "/api/streams/" || parts.size() != 3) {
        respond_error(message, SOUP_STATUS_NOT_FOUND, "no such resource");
        return;
    }
    if (!method_is(message, SOUP_METHOD_DELETE)) {
        respond_error(message, SOUP_STATUS_METHOD_NOT_ALLOWED, "use DELETE");
        return;
    }
    ApiResult result = hub_.remove_stream(parts[0], parts[1], parts[2], peer_of(message));
    spdlog::info("DELETE {}: {}", full, result.status);
    if (result.status == 200) {
        const auto id = parse_stream_id(fmt::format("{}/{}/{}", parts[0], parts[1], parts[2]));
        try {
            if (id) state_.remove_stream(*id);
            spdlog::info("audit: stream_remove user={} from={} stream={}",
                         loggable_name(account->name), peer_of(message), id ? id->text() : "?");
        } catch (const StateError& error) {
            spdlog::error("{}", error.what());
            result = {500,
                      {{"error", "withdrawn, but still stored: it returns at the next start"}}};
        }
    }
    respond_json(message, result);
}

void HttpFront::on_metrics_static(SoupServer*, SoupServerMessage* message, const char*, GHashTable*,
                                  gpointer self) {
    auto* front = static_cast<HttpFront*>(self);
    if (!front->auth_.admit_metrics(message)) return;
    if (!method_is(message, SOUP_METHOD_GET)) {
        respond_error(message, SOUP_STATUS_METHOD_NOT_ALLOWED, "use GET");
        return;
    }
    respond(message, SOUP_STATUS_OK, "text/plain; version=0.0.4; charset=utf-8",
            front->hub_.metrics());
}

void HttpFront::on_file_static(SoupServer*, SoupServerMessage* message, const char*, GHashTable*,
                               gpointer self) {
    static_cast<HttpFront*>(self)->on_file(message);
}

void HttpFront::on_file(SoupServerMessage* message) {
    if (!method_is(message, SOUP_METHOD_GET) && !method_is(message, SOUP_METHOD_HEAD)) {
        respond_error(message, SOUP_STATUS_METHOD_NOT_ALLOWED, "use GET");
        return;
    }
    // The path as sent, still percent-encoded, so that the resolver sees encoded separators.
    const char* raw_path = g_uri_get_path(soup_server_message_get_uri(message));
    const auto file = files_.resolve(raw_path != nullptr ? raw_path : "");
    const auto bytes = file ? StaticFiles::read(*file) : std::nullopt;
    if (!bytes) {
        respond(message, SOUP_STATUS_NOT_FOUND, "text/plain; charset=utf-8", "not found\n");
        return;
    }
    respond(message, SOUP_STATUS_OK, StaticFiles::content_type(*file).c_str(), *bytes);
}

void HttpFront::on_websocket_static(SoupServer*, SoupServerMessage* message, const char*,
                                    SoupWebsocketConnection* connection, gpointer self) {
    static_cast<HttpFront*>(self)->on_websocket(message, connection);
}

// The Origin has been checked with the headers: a page from another site does not get here.
void HttpFront::on_websocket(SoupServerMessage* message, SoupWebsocketConnection* connection) {
    // Checked with the headers as well; the handler checks again, whatever path the request
    // was routed by.
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(message);
    const char* origin = soup_message_headers_get_one(headers, "Origin");
    if (origin != nullptr && !admission_.origin_allowed(origin)) {
        spdlog::warn("WebSocket from foreign origin '{}' refused", origin);
        soup_websocket_connection_close(connection, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION,
                                        "foreign origin");
        return;
    }
    auto account = auth_.account_of(message);
    if (!account) {
        soup_websocket_connection_close(connection, SOUP_WEBSOCKET_CLOSE_POLICY_VIOLATION,
                                        "log-in required");
        return;
    }
    viewers_.add(connection, soup_server_message_get_socket(message), peer_of(message),
                 std::move(*account));
}

}  // namespace kelvra::norvane::signal_server
