#pragma once

// AES-128-GCM and the random source for its nonces. Two implementations sit behind this one
// interface, chosen when the project is configured (NORVANE_CRYPTO): OpenSSL's libcrypto
// (aes_gcm_openssl.cpp, the default) and wolfCrypt (aes_gcm_wolfssl.cpp). Both produce the same
// bytes for the same key, IV and input.

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kelvra::manet {

constexpr size_t kAesKeySize = 16;
constexpr size_t kGcmIvSize = 12;
constexpr size_t kGcmTagSize = 12;  // truncated from the full 16-byte tag

// AES-128-GCM context with 12-byte IVs and 12-byte tags. Owns the library context; move-only.
// The key schedule is prepared once by `set_key`; each call then only takes a new IV.
class AesGcm {
public:
    AesGcm();
    ~AesGcm();
    AesGcm(AesGcm&&) noexcept;
    AesGcm& operator=(AesGcm&&) noexcept;
    AesGcm(const AesGcm&) = delete;
    AesGcm& operator=(const AesGcm&) = delete;

    bool valid() const { return ctx_ != nullptr; }
    // Installs a 16-byte key for GCM use.
    bool set_key(const uint8_t* key);
    bool has_key() const { return has_key_; }

    // `out` may equal `in`. Writes kGcmTagSize bytes to `tag`.
    bool encrypt(uint8_t* out, const uint8_t* in, size_t size, const uint8_t* iv, uint8_t* tag,
                 const uint8_t* aad = nullptr, size_t aad_size = 0);
    // `out` may equal `in`. Fails (and the output must be ignored) when the tag does not verify.
    bool decrypt(uint8_t* out, const uint8_t* in, size_t size, const uint8_t* iv,
                 const uint8_t* tag, const uint8_t* aad = nullptr, size_t aad_size = 0);

private:
    struct Context;
    struct ContextDeleter {
        void operator()(Context* ctx) const;
    };
    std::unique_ptr<Context, ContextDeleter> ctx_;
    bool has_key_ = false;
};

// Cryptographically strong random bytes from the same library, for nonces. Move-only.
class NonceGenerator {
public:
    NonceGenerator();
    ~NonceGenerator();
    NonceGenerator(NonceGenerator&&) noexcept;
    NonceGenerator& operator=(NonceGenerator&&) noexcept;
    NonceGenerator(const NonceGenerator&) = delete;
    NonceGenerator& operator=(const NonceGenerator&) = delete;

    bool valid() const { return state_ != nullptr; }
    // Writes `size` fresh bytes to `out`; false (and `out` must be ignored) when none could be had.
    bool fill(uint8_t* out, size_t size);

private:
    struct State;
    struct StateDeleter {
        void operator()(State* state) const;
    };
    std::unique_ptr<State, StateDeleter> state_;
};

}  // namespace kelvra::manet
