#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "kelvra/core/time.hpp"

namespace spdlog {
class logger;
}

namespace kelvra::norvane {

struct BlacklistCandidate {
    uint16_t errors = 0;
    int64_t last_error_us = 0;  // 0 while only one error has been counted
    int64_t timeout_us = 0;
};

// Source addresses that keep sending undecodable traffic. After `max_errors` counted errors an
// address is blocked for `timeout_us` from its latest error; the first datagram after that
// clears it and counting starts again.
class Blacklist {
public:
    static constexpr uint16_t kMaxErrors = 20;
    static constexpr int64_t kTimeoutUs = 60'000'000;

    Blacklist(std::shared_ptr<spdlog::logger> logger, const Clock& clock);

    // Decides whether a datagram from `address` (network byte order) is dropped. An expired
    // block is lifted here, with its log line.
    bool is_blocked(uint32_t address);
    void add_error(uint32_t address);

    const std::map<uint32_t, BlacklistCandidate>& candidates() const { return candidates_; }

    const uint16_t max_errors = kMaxErrors;
    const int64_t timeout_us = kTimeoutUs;

private:
    std::shared_ptr<spdlog::logger> logger_;
    const Clock& clock_;
    std::map<uint32_t, BlacklistCandidate> candidates_;
};

// Dotted notation of an IPv4 address held in network byte order.
std::string format_ipv4(uint32_t address);

}  // namespace kelvra::norvane
