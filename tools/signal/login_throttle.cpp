#include "signal/login_throttle.hpp"

#include <algorithm>

namespace kelvra::norvane::signal_server {

namespace {

std::string user_key(std::string_view user) {
    return "user:" + std::string(user);
}

std::string address_key(std::string_view from) {
    return "addr:" + std::string(from);
}

}  // namespace

int64_t LoginThrottle::wait_of(const std::string& key) const {
    const auto it = records_.find(key);
    if (it == records_.end()) return 0;
    const int64_t now = clock_.now_us();
    if (now - it->second.last_us >= kForgetUs) return 0;
    return std::max<int64_t>(0, it->second.blocked_until_us - now);
}

int64_t LoginThrottle::wait_us(std::string_view user, std::string_view from) const {
    return std::max(wait_of(user_key(user)), wait_of(address_key(from)));
}

void LoginThrottle::count(const std::string& key, int free_failures) {
    const int64_t now = clock_.now_us();
    Record& record = records_[key];
    if (now - record.last_us >= kForgetUs) record = {};
    ++record.failures;
    record.last_us = now;
    if (record.failures < free_failures) return;
    const int doublings = std::min(record.failures - free_failures, 20);
    record.blocked_until_us = now + std::min(kMaxDelayUs, kFirstDelayUs << doublings);
}

void LoginThrottle::failed(std::string_view user, std::string_view from) {
    count(user_key(user), kFreeUserFailures);
    count(address_key(from), kFreeAddressFailures);
    prune();
}

void LoginThrottle::succeeded(std::string_view user) {
    records_.erase(user_key(user));
}

void LoginThrottle::prune() {
    if (records_.size() <= kMaxRecords) return;
    const int64_t now = clock_.now_us();
    std::erase_if(records_,
                  [&](const auto& entry) { return now - entry.second.last_us >= kForgetUs; });
    while (records_.size() > kMaxRecords) {
        const auto oldest = std::min_element(
            records_.begin(), records_.end(),
            [](const auto& a, const auto& b) { return a.second.last_us < b.second.last_us; });
        records_.erase(oldest);
    }
}

}  // namespace kelvra::norvane::signal_server
