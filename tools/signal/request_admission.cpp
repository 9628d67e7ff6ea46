#include "signal/request_admission.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <utility>

namespace kelvra::norvane::signal_server {

namespace {

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

// "host", "host:port", "[v6]" or "[v6]:port"; the host and the port text (empty if none).
std::optional<std::pair<std::string_view, std::string_view>> split_authority(
    std::string_view authority) {
    if (authority.starts_with('[')) {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && !rest.starts_with(':')) return std::nullopt;
        return std::pair{authority.substr(1, close - 1), rest.empty() ? rest : rest.substr(1)};
    }
    const size_t colon = authority.find(':');
    if (colon == std::string_view::npos) return std::pair{authority, std::string_view()};
    return std::pair{authority.substr(0, colon), authority.substr(colon + 1)};
}

std::optional<uint16_t> port_of(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

}  // namespace

RequestAdmission::RequestAdmission(std::vector<std::string> hosts, uint16_t port,
                                   uint32_t max_ranges)
    : hosts_(std::move(hosts)), port_(port), max_ranges_(max_ranges) {}

std::string RequestAdmission::host_of(std::string_view host_header) {
    const auto parts = split_authority(host_header);
    if (!parts || parts->first.empty()) return {};
    if (!parts->second.empty() && !port_of(parts->second)) return {};
    return lower(parts->first);
}

bool RequestAdmission::host_allowed(std::string_view host_header) const {
    const std::string host = host_of(host_header);
    return !host.empty() && std::find(hosts_.begin(), hosts_.end(), host) != hosts_.end();
}

bool RequestAdmission::origin_allowed(std::string_view origin) const {
    uint16_t default_port = 0;
    if (origin.starts_with("http://")) {
        default_port = 80;
        origin.remove_prefix(7);
    } else if (origin.starts_with("https://")) {
        default_port = 443;
        origin.remove_prefix(8);
    } else {
        return false;
    }
    const auto parts = split_authority(origin);
    if (!parts) return false;
    const auto port = parts->second.empty() ? std::optional(default_port) : port_of(parts->second);
    const std::string_view host = parts->first;
    return port == port_ &&
           host_allowed(host.find(':') == std::string_view::npos ? std::string(host)
                                                                 : fmt::format("[{}]", host));
}

bool RequestAdmission::is_file_path(std::string_view path) {
    return !path.starts_with("/api/") && path != "/api" && !path.starts_with("/metrics") &&
           path != "/ws";
}

std::optional<Refusal> RequestAdmission::check(const AdmissionRequest& request) const {
    if (request.host == nullptr || !host_allowed(request.host)) {
        return Refusal{421, "unknown host"};
    }
    const bool write = request.method == "POST" || request.method == "DELETE";
    // A browser names the page that makes it write or open the WebSocket; tools name none.
    if (request.origin != nullptr && (write || request.path == "/ws") &&
        !origin_allowed(request.origin)) {
        return Refusal{403, "foreign origin"};
    }
    if (request.range != nullptr) {
        if (!is_file_path(request.path)) return Refusal{416, "range requests only for files"};
        const std::string_view range(request.range);
        if (static_cast<size_t>(std::count(range.begin(), range.end(), ',')) >= max_ranges_) {
            return Refusal{416, "limit reached: ranges per request"};
        }
    }
    return std::nullopt;
}

}  // namespace kelvra::norvane::signal_server
