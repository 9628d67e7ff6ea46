#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kelvra::manet {

constexpr size_t kAesKeySize = 16;
constexpr size_t kGcmIvSize = 12;
constexpr size_t kGcmTagSize = 12;  // truncated from the full 16-byte tag

// AES-128-GCM context with 12-byte IVs and 12-byte tags. Owns the library context; move-only.
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
    // Fails (and the output must be ignored) when the tag does not verify.
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

}  // namespace kelvra::manet
