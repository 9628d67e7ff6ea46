#pragma once

#include <cstdint>

#include "kelvra/core/slice.hpp"
#include "kelvra/manet/aes_gcm.hpp"

namespace kelvra::manet {

// One signalling record: a 10-byte header naming the nodes, then the payload (plain or sealed).
struct MAPacket {
    uint32_t src_addr = 0;
    uint32_t dst_addr = 0;
    uint8_t channel = 0;
    bool encrypted = false;
    ConstSlice<uint8_t> payload;
};

// Opens and seals records with AES-128-GCM (12-byte nonce, 12-byte tag, header bytes 0..8 as
// additional data).
class Packetizer {
public:
    static constexpr int kOk = 0;
    static constexpr int kTooBig = -2;
    static constexpr int kTooSmallForNonceAndTag = -3;
    static constexpr int kAesGcmError = -4;
    static constexpr int kSmallerThanHeader = -5;
    static constexpr int kCannotSerializeEncrypted = -6;
    static constexpr uint64_t kHeaderSize = 10;
    static constexpr uint64_t kEncryptedOverhead = kHeaderSize + kGcmIvSize + kGcmTagSize;

    // Decrypted payloads are written into `plaintext` (owned by the caller).
    explicit Packetizer(Slice<uint8_t>& plaintext);
    ~Packetizer();
    Packetizer(const Packetizer&) = delete;
    Packetizer& operator=(const Packetizer&) = delete;

    bool set_key(const uint8_t* key16) { return aes_.set_key(key16); }

    // Returns 0 with `out` filled, or a negative code with `out` untouched.
    int parse(ConstSlice<uint8_t> record, MAPacket& out);
    // Appends one record to `out`; returns 0 or a negative code (nothing appended).
    int serialize(const MAPacket& packet, Slice<uint8_t>& out);
    static const char* format_error(int code);
    // Whether the record's header marks its payload as sealed (the flag after the addresses and
    // the channel); parse reports the opened payload either way.
    static bool is_sealed(ConstSlice<uint8_t> record) {
        return record.size >= kHeaderSize && record.data[kHeaderSize - 1] != 0;
    }

    bool encrypt = false;

private:
    Slice<uint8_t>& plaintext_;
    NonceGenerator nonces_;
    AesGcm aes_;
};

}  // namespace kelvra::manet
