#pragma once

// Passwords are kept only as salted scrypt hashes, in the text form
// "scrypt$<log2 N>$<r>$<p>$<salt hex>$<hash hex>", so that the cost can be raised later without
// breaking the hashes already stored: each is checked with the parameters written beside it.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvra::norvane::signal_server {

struct ScryptParams {
    // N = 2^15 with r = 8 costs 32 MiB and roughly 0.1 s per log-in on one core.
    uint8_t log2_n = 15;
    uint32_t r = 8;
    uint32_t p = 1;
};

struct PasswordHash {
    ScryptParams params;
    std::string salt;  // raw bytes
    std::string hash;  // raw bytes

    std::string text() const;
    static std::optional<PasswordHash> parse(std::string_view text);
};

// A fresh random salt per call.
std::string hash_password(std::string_view password, const ScryptParams& params = {});
// False for a wrong password and for a stored text that cannot be read.
bool verify_password(std::string_view password, std::string_view stored);

// A high-entropy secret for API tokens, session cookies and the start-up log-in: 32 random
// bytes as hex.
std::string random_secret();
// What is stored of such a secret: its SHA-256 as hex. A fast hash suffices because the secret
// cannot be guessed, unlike a password.
std::string secret_digest(std::string_view secret);

}  // namespace kelvra::norvane::signal_server
