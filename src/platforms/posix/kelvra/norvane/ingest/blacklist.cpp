#include "kelvra/norvane/ingest/blacklist.hpp"

#include <arpa/inet.h>
#include <spdlog/spdlog.h>

namespace kelvra::norvane {

Blacklist::Blacklist(std::shared_ptr<spdlog::logger> logger, const Clock& clock)
    : logger_(std::move(logger)), clock_(clock) {}

bool Blacklist::is_blocked(uint32_t address) {
    const auto it = candidates_.find(address);
    if (it == candidates_.end() || it->second.errors < max_errors) return false;
    const BlacklistCandidate& candidate = it->second;
    if (clock_.now_us() - candidate.last_error_us > candidate.timeout_us ||
        candidate.last_error_us == 0) {
        logger_->info("Removing address {} from the blacklist after timeout", format_ipv4(address));
        candidates_.erase(it);
        return false;
    }
    return true;
}

void Blacklist::add_error(uint32_t address) {
    const auto [it, inserted] =
        candidates_.try_emplace(address, BlacklistCandidate{1, 0, timeout_us});
    if (inserted) return;
    BlacklistCandidate& candidate = it->second;
    candidate.last_error_us = clock_.now_us();
    ++candidate.errors;
    if (candidate.errors >= max_errors) {
        logger_->info("Adding address {} to the blacklist", format_ipv4(address));
    }
}

std::string format_ipv4(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr addr{};
    addr.s_addr = address;
    inet_ntop(AF_INET, &addr, text, sizeof(text));
    return text;
}

}  // namespace kelvra::norvane
