#include "signal/password_hash.hpp"

#include <fmt/format.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <array>
#include <charconv>
#include <stdexcept>
#include <vector>

#include "signal/hex.hpp"

namespace kelvra::norvane::signal_server {

namespace {

constexpr size_t kSaltSize = 16;
constexpr size_t kHashSize = 32;

std::optional<std::string> from_hex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string out(hex.size() / 2, '\0');
    for (size_t i = 0; i < out.size(); ++i) {
        unsigned value = 0;
        const auto [end, error] =
            std::from_chars(hex.data() + 2 * i, hex.data() + 2 * i + 2, value, 16);
        if (error != std::errc() || end != hex.data() + 2 * i + 2) return std::nullopt;
        out[i] = static_cast<char>(value);
    }
    return out;
}

std::string random_bytes(size_t size) {
    std::string out(size, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(size)) != 1) {
        throw std::runtime_error("no random bytes to be had");
    }
    return out;
}

// Bounds keep a tampered stored hash from making one check cost gigabytes.
bool params_sane(const ScryptParams& params) {
    return params.log2_n >= 1 && params.log2_n <= 20 && params.r >= 1 && params.r <= 32 &&
           params.p >= 1 && params.p <= 16;
}

std::optional<std::string> derive(std::string_view password, std::string_view salt,
                                  const ScryptParams& params) {
    const uint64_t n = uint64_t{1} << params.log2_n;
    const uint64_t memory = 128 * n * params.r * params.p + (uint64_t{1} << 20);
    std::string out(kHashSize, '\0');
    if (EVP_PBE_scrypt(password.data(), password.size(),
                       reinterpret_cast<const unsigned char*>(salt.data()), salt.size(), n,
                       params.r, params.p, memory, reinterpret_cast<unsigned char*>(out.data()),
                       out.size()) != 1) {
        return std::nullopt;
    }
    return out;
}

template <typename T>
std::optional<T> number(std::string_view text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::string PasswordHash::text() const {
    return fmt::format("scrypt${}${}${}${}${}", params.log2_n, params.r, params.p, format_hex(salt),
                       format_hex(hash));
}

std::optional<PasswordHash> PasswordHash::parse(std::string_view text) {
    std::vector<std::string_view> parts;
    while (true) {
        const size_t dollar = text.find('$');
        parts.push_back(text.substr(0, dollar));
        if (dollar == std::string_view::npos) break;
        text.remove_prefix(dollar + 1);
    }
    if (parts.size() != 6 || parts[0] != "scrypt") return std::nullopt;
    const auto log2_n = number<unsigned>(parts[1]);
    const auto r = number<uint32_t>(parts[2]);
    const auto p = number<uint32_t>(parts[3]);
    auto salt = from_hex(parts[4]);
    auto hash = from_hex(parts[5]);
    if (!log2_n || *log2_n > 255 || !r || !p || !salt || !hash || hash->empty()) {
        return std::nullopt;
    }
    PasswordHash out{{static_cast<uint8_t>(*log2_n), *r, *p}, std::move(*salt), std::move(*hash)};
    if (!params_sane(out.params)) return std::nullopt;
    return out;
}

std::string hash_password(std::string_view password, const ScryptParams& params) {
    if (!params_sane(params)) throw std::invalid_argument("scrypt parameters out of range");
    PasswordHash out{params, random_bytes(kSaltSize), {}};
    auto hash = derive(password, out.salt, params);
    if (!hash) throw std::runtime_error("scrypt failed");
    out.hash = std::move(*hash);
    return out.text();
}

bool verify_password(std::string_view password, std::string_view stored) {
    const auto parsed = PasswordHash::parse(stored);
    if (!parsed || parsed->hash.size() != kHashSize) return false;
    const auto hash = derive(password, parsed->salt, parsed->params);
    return hash && CRYPTO_memcmp(hash->data(), parsed->hash.data(), kHashSize) == 0;
}

std::string random_secret() {
    return format_hex(random_bytes(32));
}

std::string secret_digest(std::string_view secret) {
    std::array<unsigned char, 32> digest{};
    unsigned size = 0;
    if (EVP_Digest(secret.data(), secret.size(), digest.data(), &size, EVP_sha256(), nullptr) !=
        1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return format_hex(std::string_view(reinterpret_cast<const char*>(digest.data()), size));
}

}  // namespace kelvra::norvane::signal_server
