#pragma once

// Whether an HTTP request may reach the server at all, decided from its headers before its body
// is read. A browser tricked by a rebound DNS name sends that name as Host; a page of another
// site sends its own Origin. Authentication of the user will be one more check here.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra::norvane::signal_server {

struct AdmissionRequest {
    std::string_view method;
    std::string_view path;
    const char* host = nullptr;    // Host header, null when absent
    const char* origin = nullptr;  // Origin header, null when absent
    const char* range = nullptr;   // Range header, null when absent
};

struct Refusal {
    unsigned status = 0;
    std::string error;  // for the client and the log
};

class RequestAdmission {
public:
    // `hosts` are bare lower-case host names; `port` is the one the server listens on.
    RequestAdmission(std::vector<std::string> hosts, uint16_t port, uint32_t max_ranges);

    std::optional<Refusal> check(const AdmissionRequest& request) const;

    // The host of a Host header without its port, lower-case; empty when malformed.
    static std::string host_of(std::string_view host_header);
    bool host_allowed(std::string_view host_header) const;
    // scheme://host[:port] of one of the public hosts on this server's port.
    bool origin_allowed(std::string_view origin) const;
    // Paths served from files; the only ones where a Range request means anything.
    static bool is_file_path(std::string_view path);

private:
    std::vector<std::string> hosts_;
    uint16_t port_;
    uint32_t max_ranges_;
};

}  // namespace kelvra::norvane::signal_server
