#include "kelvra/manet/packetizer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelvra::manet {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                              0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};

Bytes bytes(const std::string& text) {
    return {text.begin(), text.end()};
}
ConstSlice<uint8_t> view(const Bytes& v) {
    return {v.data(), v.size()};
}
Bytes payload_of(const MAPacket& p) {
    return {p.payload.data, p.payload.data + p.payload.size};
}

// A keyed, sealing packetizer over its own plaintext buffer.
struct Endpoint {
    explicit Endpoint(size_t capacity = 8192, bool keyed = true)
        : storage(capacity), plaintext{storage.data(), 0, storage.size()} {
        EXPECT_TRUE(!keyed || packetizer.set_key(kKey));
        packetizer.encrypt = true;
    }
    Bytes seal(const Bytes& payload) {
        Bytes out(payload.size() + Packetizer::kEncryptedOverhead);
        Slice<uint8_t> slice{out.data(), 0, out.size()};
        EXPECT_EQ(packetizer.serialize({0x0a0b0c0d, 0x01020304, 7, false, view(payload)}, slice),
                  Packetizer::kOk);
        out.resize(slice.size);
        return out;
    }
    int parse(const Bytes& record) { return packetizer.parse(view(record), out); }

    Bytes storage;
    Slice<uint8_t> plaintext;
    Packetizer packetizer{plaintext};
    MAPacket out;
};

TEST(Packetizer, ErrorTexts) {
    EXPECT_STREQ(Packetizer::format_error(0), "OK");
    EXPECT_STREQ(Packetizer::format_error(-2), "Packet is too big");
    EXPECT_STREQ(Packetizer::format_error(-3), "Packet is smaller than nonce and auth tag");
    EXPECT_STREQ(Packetizer::format_error(-4), "AES-GCM function error");
    EXPECT_STREQ(Packetizer::format_error(-5), "Input buffer is smaller than MAPacket header");
    EXPECT_STREQ(Packetizer::format_error(-6), "Cannot serialize encrypted buffer");
    EXPECT_STREQ(Packetizer::format_error(-1), "Unknown error");
    EXPECT_STREQ(Packetizer::format_error(7), "Unknown error");
}

TEST(Packetizer, SealedRecordRoundTripsAndNoncesDiffer) {
    Endpoint ep;
    const auto payload = bytes("two frames would go here");
    const auto a = ep.seal(payload);
    const auto b = ep.seal(payload);
    ASSERT_EQ(a.size(), payload.size() + 34);
    // Same header, flag 1; nonce, ciphertext and tag all differ.
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 9, b.begin()));
    EXPECT_EQ(a[9], 1);
    EXPECT_FALSE(std::equal(a.begin() + 10, a.begin() + 22, b.begin() + 10));
    EXPECT_FALSE(std::equal(a.begin() + 22, a.end() - 12, b.begin() + 22));
    EXPECT_FALSE(std::equal(a.end() - 12, a.end(), b.end() - 12));
    // The layout, opened with the cipher alone: nonce at 10, ciphertext at 22, the 12-byte tag
    // last, the header bytes 0..8 authenticated.
    Bytes opened(payload.size());
    AesGcm gcm;
    ASSERT_TRUE(gcm.set_key(kKey));
    EXPECT_TRUE(gcm.decrypt(opened.data(), a.data() + 22, opened.size(), a.data() + 10,
                            a.data() + 22 + opened.size(), a.data(), 9));
    EXPECT_EQ(opened, payload);
    EXPECT_EQ(Bytes(a.begin(), a.begin() + 9), (Bytes{0x0d, 0x0c, 0x0b, 0x0a, 4, 3, 2, 1, 7}));

    ASSERT_EQ(ep.parse(a), Packetizer::kOk);
    EXPECT_EQ(ep.out.src_addr, 0x0a0b0c0du);
    EXPECT_EQ(ep.out.dst_addr, 0x01020304u);
    EXPECT_EQ(ep.out.channel, 7);
    EXPECT_FALSE(ep.out.encrypted);
    EXPECT_EQ(ep.out.payload.data, ep.plaintext.data);
    EXPECT_EQ(payload_of(ep.out), payload);
}

TEST(Packetizer, PlainRecordsAreWrittenAfterWhatIsHeldAndUsedInPlace) {
    Endpoint ep;
    ep.packetizer.encrypt = false;
    Bytes out(20, 0xee);
    Slice<uint8_t> slice{out.data(), 2, out.size()};
    ASSERT_EQ(
        ep.packetizer.serialize({0x04030201, 0x08070605, 9, false, view(bytes("abc"))}, slice),
        Packetizer::kOk);
    EXPECT_EQ(slice.size, 2u + 13u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 16),
              (Bytes{0xee, 0xee, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 'a', 'b', 'c', 0xee}));

    const ConstSlice<uint8_t> record{out.data() + 2, 13};
    ASSERT_EQ(ep.packetizer.parse(record, ep.out), Packetizer::kOk);
    EXPECT_EQ(ep.out.src_addr, 0x04030201u);
    EXPECT_EQ(ep.out.channel, 9);
    EXPECT_EQ(ep.out.payload.data, record.data + 10);
    EXPECT_EQ(payload_of(ep.out), bytes("abc"));
    // The header alone is an empty plain record.
    ASSERT_EQ(ep.packetizer.parse({record.data, 10}, ep.out), Packetizer::kOk);
    EXPECT_EQ(ep.out.payload.size, 0u);
}

TEST(Packetizer, RefusesShortTamperedAndOversizedRecords) {
    Endpoint ep;
    ep.out.src_addr = 42;
    EXPECT_EQ(ep.parse(Bytes(9, 0)), Packetizer::kSmallerThanHeader);
    // An encrypted record needs room for nonce and tag: 33 bytes is one short.
    Bytes short_sealed(33, 0);
    short_sealed[9] = 1;
    ep.plaintext.size = 5;
    EXPECT_EQ(ep.parse(short_sealed), Packetizer::kTooSmallForNonceAndTag);
    EXPECT_EQ(ep.plaintext.size, 0u);

    const auto sealed = ep.seal(bytes("payload"));
    for (size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 8, 25}) {  // addresses, channel, body: authenticated
        auto tampered = sealed;
        tampered[i] ^= 0x01;
        EXPECT_EQ(ep.parse(tampered), Packetizer::kAesGcmError) << i;
        EXPECT_EQ(ep.plaintext.size, 0u) << "unauthenticated bytes left in the buffer";
    }
    EXPECT_EQ(ep.out.src_addr, 42u) << "untouched on failure";
    auto flag_two = sealed;  // the flag byte is not
    flag_two[9] = 2;
    ASSERT_EQ(ep.parse(flag_two), Packetizer::kOk);
    EXPECT_EQ(payload_of(ep.out), bytes("payload"));
    const auto empty = ep.seal({});
    ASSERT_EQ(empty.size(), 34u);
    ASSERT_EQ(ep.parse(empty), Packetizer::kOk);
    EXPECT_EQ(ep.out.payload.size, 0u);

    Endpoint big(8193);
    EXPECT_EQ(ep.parse(big.seal(Bytes(8193, 0x5a))), Packetizer::kTooBig);
    EXPECT_EQ(ep.parse(big.seal(Bytes(8192, 0x5a))), Packetizer::kOk);

    // Without a key, and with the wrong one, nothing is sealed or opened.
    Endpoint other(64, false);
    Bytes out(64);
    Slice<uint8_t> slice{out.data(), 0, out.size()};
    EXPECT_EQ(other.packetizer.serialize({1, 2, 3, false, {}}, slice), Packetizer::kAesGcmError);
    EXPECT_EQ(slice.size, 0u);
    EXPECT_EQ(other.parse(sealed), Packetizer::kAesGcmError);
    ASSERT_TRUE(other.packetizer.set_key(Bytes(16, 0).data()));
    EXPECT_EQ(other.parse(sealed), Packetizer::kAesGcmError);
}

TEST(Packetizer, SerializeRefusesWithoutWritingAnything) {
    Endpoint ep;
    const auto payload = bytes("abcdef");
    Bytes out(64, 0xee);
    Slice<uint8_t> slice{out.data(), 3, out.size()};
    EXPECT_EQ(ep.packetizer.serialize({1, 2, 3, true, view(payload)}, slice),
              Packetizer::kCannotSerializeEncrypted);
    // One byte short of the sealed record, then of the plain one, then of a bare header.
    slice.capacity = 3 + payload.size() + 33;
    EXPECT_EQ(ep.packetizer.serialize({1, 2, 3, false, view(payload)}, slice), Packetizer::kTooBig);
    ep.packetizer.encrypt = false;
    slice.capacity = 3 + payload.size() + 9;
    EXPECT_EQ(ep.packetizer.serialize({1, 2, 3, false, view(payload)}, slice), Packetizer::kTooBig);
    slice.capacity = 5;
    EXPECT_EQ(ep.packetizer.serialize({1, 2, 3, false, {}}, slice), Packetizer::kTooBig);
    EXPECT_EQ(slice.size, 3u);
    EXPECT_EQ(out, Bytes(64, 0xee));
}

}  // namespace
}  // namespace kelvra::manet
