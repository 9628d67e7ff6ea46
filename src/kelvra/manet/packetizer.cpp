#include "kelvra/manet/packetizer.hpp"

#include <cstring>

#include "kelvra/core/byte_order.hpp"

namespace kelvra::manet {

namespace {

constexpr uint64_t kNonceOffset = Packetizer::kHeaderSize;
constexpr uint64_t kCiphertextOffset = kNonceOffset + kGcmIvSize;
constexpr uint64_t kFlagOffset = 9;
// src_addr, dst_addr and channel are authenticated; the flag byte is not.
constexpr uint64_t kAuthenticatedHeaderSize = 9;

void read_header(const uint8_t* record, MAPacket& out) {
    out.src_addr = load_le<uint32_t>(record);
    out.dst_addr = load_le<uint32_t>(record + 4);
    out.channel = record[8];
}

void write_header(uint8_t* record, const MAPacket& packet, bool encrypted) {
    store_le<uint32_t>(record, packet.src_addr);
    store_le<uint32_t>(record + 4, packet.dst_addr);
    record[8] = packet.channel;
    record[kFlagOffset] = encrypted ? 1 : 0;
}

}  // namespace

// Without a generator no nonce can be made; serialize then fails with kAesGcmError.
Packetizer::Packetizer(Slice<uint8_t>& plaintext) : plaintext_(plaintext) {}

Packetizer::~Packetizer() = default;

int Packetizer::parse(ConstSlice<uint8_t> record, MAPacket& out) {
    if (record.size < kHeaderSize) return kSmallerThanHeader;

    if (record.data[kFlagOffset] == 0) {
        read_header(record.data, out);
        out.encrypted = false;
        out.payload = {record.data + kHeaderSize, record.size - kHeaderSize};
        return kOk;
    }

    if (record.size - kHeaderSize < kGcmIvSize + kGcmTagSize) {
        plaintext_.size = 0;
        return kTooSmallForNonceAndTag;
    }
    const uint64_t payload_size = record.size - kEncryptedOverhead;
    if (payload_size > plaintext_.capacity) return kTooBig;

    plaintext_.size = payload_size;
    const uint8_t* tag = record.data + record.size - kGcmTagSize;
    if (!aes_.decrypt(plaintext_.data, record.data + kCiphertextOffset, payload_size,
                      record.data + kNonceOffset, tag, record.data, kAuthenticatedHeaderSize)) {
        // Bytes that failed authentication are never offered as a payload.
        plaintext_.size = 0;
        return kAesGcmError;
    }

    read_header(record.data, out);
    out.encrypted = false;
    out.payload = plaintext_.view();
    return kOk;
}

int Packetizer::serialize(const MAPacket& packet, Slice<uint8_t>& out) {
    if (packet.encrypted) return kCannotSerializeEncrypted;

    const uint64_t payload_size = packet.payload.size;
    const uint64_t overhead = encrypt ? kEncryptedOverhead : kHeaderSize;
    const uint64_t room = out.capacity - out.size;
    if (room < overhead || room - overhead < payload_size) return kTooBig;

    uint8_t* record = out.data + out.size;
    if (!encrypt) {
        write_header(record, packet, false);
        if (payload_size != 0) std::memcpy(record + kHeaderSize, packet.payload.data, payload_size);
        out.size += kHeaderSize + payload_size;
        return kOk;
    }

    // One of the cipher libraries takes int lengths.
    if (payload_size > INT32_MAX) return kTooBig;
    if (!nonces_.valid() || !aes_.has_key()) return kAesGcmError;
    write_header(record, packet, true);
    uint8_t* nonce = record + kNonceOffset;
    if (!nonces_.fill(nonce, kGcmIvSize)) return kAesGcmError;
    uint8_t* ciphertext = record + kCiphertextOffset;
    if (!aes_.encrypt(ciphertext, packet.payload.data, payload_size, nonce,
                      ciphertext + payload_size, record, kAuthenticatedHeaderSize)) {
        return kAesGcmError;
    }
    out.size += kEncryptedOverhead + payload_size;
    return kOk;
}

const char* Packetizer::format_error(int code) {
    switch (code) {
        case kOk:
            return "OK";
        case kTooBig:
            return "Packet is too big";
        case kTooSmallForNonceAndTag:
            return "Packet is smaller than nonce and auth tag";
        case kAesGcmError:
            return "AES-GCM function error";
        case kSmallerThanHeader:
            return "Input buffer is smaller than MAPacket header";
        case kCannotSerializeEncrypted:
            return "Cannot serialize encrypted buffer";
        default:
            return "Unknown error";
    }
}

}  // namespace kelvra::manet
