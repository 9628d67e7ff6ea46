#include "signal/http_front.hpp"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace kelvra::norvane::signal_server {

namespace {

void respond(SoupServerMessage* message, unsigned status, const char* type,
             const std::string& body) {
    soup_server_message_set_status(message, status, nullptr);
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
      files_(config.web_root) {}

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
    g_signal_connect(message, "got-headers", G_CALLBACK(on_got_headers_static), self);
}

void HttpFront::on_got_headers_static(SoupServerMessage* message, gpointer self) {
    // A WebSocket without an account is refused before the upgrade, with a status a client can
    // read; the handler checks again, whatever path the request was routed by.
    const char* path = g_uri_get_path(soup_server_message_get_uri(message));
    if (path != nullptr && std::string_view(path) == "/ws") {
        static_cast<HttpFront*>(self)->auth_.refuse_anonymous_upgrade(message);
        if (soup_server_message_get_status(message) != 0) return;
    }
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(message);
    const SoupEncoding encoding = soup_message_headers_get_encoding(headers);
    // A status set here makes the server answer without reading the body.
    if (encoding == SOUP_ENCODING_CHUNKED ||
        (encoding == SOUP_ENCODING_CONTENT_LENGTH &&
         soup_message_headers_get_content_length(headers) > kMaxRequestBody)) {
        respond_error(message, SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE, "request body too large");
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
            ApiResult result = hub_.add_stream(text);
            spdlog::info("POST /api/streams: {}", result.status);
            if (result.status == 201) {
                const auto stream = parse_stream_config(nlohmann::json::parse(text), "");
                try {
                    state_.add_stream(stream);
                    spdlog::info("audit: stream_add user={} from={} stream={}",
                                 loggable_name(account->name),
                                 soup_server_message_get_remote_host(message), stream.id.text());
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
    ApiResult result = hub_.remove_stream(parts[0], parts[1], parts[2]);
    spdlog::info("DELETE {}: {}", full, result.status);
    if (result.status == 200) {
        const auto id = parse_stream_id(fmt::format("{}/{}/{}", parts[0], parts[1], parts[2]));
        try {
            if (id) state_.remove_stream(*id);
            spdlog::info("audit: stream_remove user={} from={} stream={}",
                         loggable_name(account->name), soup_server_message_get_remote_host(message),
                         id ? id->text() : "?");
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

void HttpFront::on_websocket(SoupServerMessage* message, SoupWebsocketConnection* connection) {
    // Browsers send the page's origin: a page from another site must not drive the viewers'
    // sessions. Clients that are no browser send none.
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(message);
    const char* origin = soup_message_headers_get_one(headers, "Origin");
    const char* host = soup_message_headers_get_one(headers, "Host");
    if (origin != nullptr &&
        (host == nullptr || (std::string_view(origin) != fmt::format("http://{}", host) &&
                             std::string_view(origin) != fmt::format("https://{}", host)))) {
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
    viewers_.add(connection, std::move(*account));
}

}  // namespace kelvra::norvane::signal_server
