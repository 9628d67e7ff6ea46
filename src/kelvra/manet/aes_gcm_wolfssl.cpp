// AES-GCM and nonces on wolfCrypt (NORVANE_CRYPTO=wolfssl).

#include "kelvra/manet/aes_gcm.hpp"

// wolfSSL's configuration must precede every other wolfSSL header.
#include <wolfssl/options.h>
#include <wolfssl/wolfcrypt/aes.h>
#include <wolfssl/wolfcrypt/random.h>

#include <climits>

namespace kelvra::manet {

struct AesGcm::Context {
    Aes aes;
};

void AesGcm::ContextDeleter::operator()(Context* ctx) const {
    wc_AesFree(&ctx->aes);
    delete ctx;
}

AesGcm::AesGcm() {
    auto ctx = std::unique_ptr<Context, ContextDeleter>(new Context{});
    if (wc_AesInit(&ctx->aes, nullptr, INVALID_DEVID) != 0) {
        // wc_AesFree on a context whose init failed is still safe.
        return;
    }
    ctx_ = std::move(ctx);
}

AesGcm::~AesGcm() = default;
AesGcm::AesGcm(AesGcm&&) noexcept = default;
AesGcm& AesGcm::operator=(AesGcm&&) noexcept = default;

bool AesGcm::set_key(const uint8_t* key) {
    if (!ctx_) return false;
    has_key_ = wc_AesGcmSetKey(&ctx_->aes, key, kAesKeySize) == 0;
    return has_key_;
}

bool AesGcm::encrypt(uint8_t* out, const uint8_t* in, size_t size, const uint8_t* iv, uint8_t* tag,
                     const uint8_t* aad, size_t aad_size) {
    // wolfCrypt takes 32-bit lengths.
    if (!has_key_ || size > UINT32_MAX || aad_size > UINT32_MAX) return false;
    return wc_AesGcmEncrypt(&ctx_->aes, out, in, static_cast<word32>(size), iv, kGcmIvSize, tag,
                            kGcmTagSize, aad, static_cast<word32>(aad_size)) == 0;
}

bool AesGcm::decrypt(uint8_t* out, const uint8_t* in, size_t size, const uint8_t* iv,
                     const uint8_t* tag, const uint8_t* aad, size_t aad_size) {
    if (!has_key_ || size > UINT32_MAX || aad_size > UINT32_MAX) return false;
    return wc_AesGcmDecrypt(&ctx_->aes, out, in, static_cast<word32>(size), iv, kGcmIvSize, tag,
                            kGcmTagSize, aad, static_cast<word32>(aad_size)) == 0;
}

struct NonceGenerator::State {
    WC_RNG rng;
};

void NonceGenerator::StateDeleter::operator()(State* state) const {
    wc_FreeRng(&state->rng);
    delete state;
}

NonceGenerator::NonceGenerator() {
    auto state = std::unique_ptr<State, StateDeleter>(new State{});
    // Without a generator no nonce can be made; fill then fails.
    if (wc_InitRng(&state->rng) == 0) state_ = std::move(state);
}

NonceGenerator::~NonceGenerator() = default;
NonceGenerator::NonceGenerator(NonceGenerator&&) noexcept = default;
NonceGenerator& NonceGenerator::operator=(NonceGenerator&&) noexcept = default;

bool NonceGenerator::fill(uint8_t* out, size_t size) {
    if (!state_ || size > UINT32_MAX) return false;
    return wc_RNG_GenerateBlock(&state_->rng, out, static_cast<word32>(size)) == 0;
}

}  // namespace kelvra::manet
