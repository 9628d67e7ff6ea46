#pragma once

// Slows down password guessing: after a few failed log-ins for one account, or from one
// address, every further attempt must wait, twice as long after each failure up to five
// minutes. The address limit is looser, since many people may share one address.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "kelvra/core/time.hpp"

namespace kelvra::norvane::signal_server {

class LoginThrottle {
public:
    static constexpr int kFreeUserFailures = 3;
    static constexpr int kFreeAddressFailures = 10;
    static constexpr int64_t kFirstDelayUs = 1'000'000;
    static constexpr int64_t kMaxDelayUs = 300'000'000;
    // Failures older than this are forgotten.
    static constexpr int64_t kForgetUs = 3'600'000'000;
    // Bounds the memory a flood of made-up names or addresses can take.
    static constexpr size_t kMaxRecords = 10'000;

    explicit LoginThrottle(const Clock& clock) : clock_(clock) {}

    // Microseconds until an attempt for this account from this address may be checked; 0 when
    // it may be now.
    int64_t wait_us(std::string_view user, std::string_view from) const;
    void failed(std::string_view user, std::string_view from);
    // Forgets the account's failures; the address keeps its own, so that one good password
    // does not let its holder guess at other accounts faster.
    void succeeded(std::string_view user);

private:
    struct Record {
        int failures = 0;
        int64_t last_us = 0;
        int64_t blocked_until_us = 0;
    };

    int64_t wait_of(const std::string& key) const;
    void count(const std::string& key, int free_failures);
    void prune();

    const Clock& clock_;
    std::map<std::string, Record> records_;
};

}  // namespace kelvra::norvane::signal_server
