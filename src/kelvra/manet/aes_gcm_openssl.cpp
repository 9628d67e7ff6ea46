// AES-GCM and nonces on OpenSSL's libcrypto (NORVANE_CRYPTO=openssl, the default).

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>

#include "kelvra/manet/aes_gcm.hpp"

namespace kelvra::manet {

namespace {

struct CipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Runs one GCM operation on a context that already holds the key: only the IV (and with it the
// direction) is set again, so the key schedule and the hash key are not recomputed.
bool start(EVP_CIPHER_CTX* ctx, const uint8_t* iv, int encrypting, const uint8_t* aad,
           size_t aad_size) {
    if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, iv, encrypting) != 1) return false;
    if (aad_size == 0) return true;
    int n = 0;
    return EVP_CipherUpdate(ctx, nullptr, &n, aad, static_cast<int>(aad_size)) == 1;
}

bool run(EVP_CIPHER_CTX* ctx, uint8_t* out, const uint8_t* in, size_t size) {
    int n = 0;
    if (size != 0 && EVP_CipherUpdate(ctx, out, &n, in, static_cast<int>(size)) != 1) return false;
    // GCM writes nothing at the end; a scratch block keeps a null `out` out of the call.
    uint8_t scratch[EVP_MAX_BLOCK_LENGTH];
    return EVP_CipherFinal_ex(ctx, scratch, &n) == 1;
}

}  // namespace

struct AesGcm::Context {
    CipherCtxPtr cipher;
};

void AesGcm::ContextDeleter::operator()(Context* ctx) const {
    delete ctx;
}

AesGcm::AesGcm() {
    CipherCtxPtr cipher(EVP_CIPHER_CTX_new());
    if (!cipher) return;
    ctx_.reset(new Context{std::move(cipher)});
}

AesGcm::~AesGcm() = default;
AesGcm::AesGcm(AesGcm&&) noexcept = default;
AesGcm& AesGcm::operator=(AesGcm&&) noexcept = default;

bool AesGcm::set_key(const uint8_t* key) {
    if (!ctx_) return false;
    // The default GCM IV length is the 12 bytes used here.
    has_key_ =
        EVP_CipherInit_ex(ctx_->cipher.get(), EVP_aes_128_gcm(), nullptr, key, nullptr, 1) == 1;
    return has_key_;
}

bool AesGcm::encrypt(uint8_t* out, const uint8_t* in, size_t size, const uint8_t* iv, uint8_t* tag,
                     const uint8_t* aad, size_t aad_size) {
    // libcrypto takes int lengths.
    if (!has_key_ || size > INT_MAX || aad_size > INT_MAX) return false;
    EVP_CIPHER_CTX* ctx = ctx_->cipher.get();
    return start(ctx, iv, 1, aad, aad_size) && run(ctx, out, in, size) &&
           EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kGcmTagSize), tag) == 1;
}

bool AesGcm::decrypt(uint8_t* out, const uint8_t* in, size_t size, const uint8_t* iv,
                     const uint8_t* tag, const uint8_t* aad, size_t aad_size) {
    if (!has_key_ || size > INT_MAX || aad_size > INT_MAX) return false;
    EVP_CIPHER_CTX* ctx = ctx_->cipher.get();
    // The expected tag goes in before the final step, which compares it (truncated to 12 bytes).
    return start(ctx, iv, 0, aad, aad_size) &&
           EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kGcmTagSize),
                               const_cast<uint8_t*>(tag)) == 1 &&
           run(ctx, out, in, size);
}

// libcrypto's generator is process-wide and seeds itself; there is nothing to hold.
struct NonceGenerator::State {};

void NonceGenerator::StateDeleter::operator()(State* state) const {
    delete state;
}

NonceGenerator::NonceGenerator() : state_(new State{}) {}

NonceGenerator::~NonceGenerator() = default;
NonceGenerator::NonceGenerator(NonceGenerator&&) noexcept = default;
NonceGenerator& NonceGenerator::operator=(NonceGenerator&&) noexcept = default;

bool NonceGenerator::fill(uint8_t* out, size_t size) {
    if (!state_ || size > INT_MAX) return false;
    return RAND_bytes(out, static_cast<int>(size)) == 1;
}

}  // namespace kelvra::manet
