#include "kelvra/core/text.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>

namespace kelvra {
namespace {

std::string_view as_view(ConstSlice<char> piece) {
    return {piece.data, piece.size};
}

ConstSlice<char> text_of(std::string_view text) {
    return {text.data(), text.size()};
}

template <size_t N>
struct SplitResult {
    std::array<ConstSlice<char>, N> storage{};
    ArrayList<ConstSlice<char>> pieces{storage.data(), N};
    int count = -1;
};

template <size_t N>
SplitResult<N> split_into(std::string_view text, char separator = ',') {
    SplitResult<N> result;
    result.count = split(text_of(text), separator, result.pieces);
    return result;
}

TEST(Split, PiecesAreViewsIntoTheTextIncludingEmptyOnes) {
    const std::string_view text = "a,b,";
    auto result = split_into<4>(text);
    ASSERT_EQ(result.count, 3);
    EXPECT_EQ(as_view(result.pieces[0]), "a");
    EXPECT_EQ(as_view(result.pieces[1]), "b");
    EXPECT_EQ(as_view(result.pieces[2]), "");
    EXPECT_EQ(result.pieces[1].data, text.data() + 2);
    EXPECT_FALSE(result.pieces.overflow);
}

TEST(Split, EmptyTextIsOneEmptyPiece) {
    auto result = split_into<2>("");
    ASSERT_EQ(result.count, 1);
    EXPECT_EQ(result.pieces[0].size, 0u);
    EXPECT_FALSE(result.pieces.overflow);
}

TEST(Split, PiecesBeyondTheCapacityAreDroppedAndFlagged) {
    auto whole = split_into<1>("abc");
    ASSERT_EQ(whole.count, 1);
    EXPECT_EQ(as_view(whole.pieces[0]), "abc");
    EXPECT_FALSE(whole.pieces.overflow);

    auto cut = split_into<1>("a,b");
    ASSERT_EQ(cut.count, 1);
    EXPECT_EQ(as_view(cut.pieces[0]), "a");
    EXPECT_TRUE(cut.pieces.overflow);

    auto none = split_into<0>("a");
    EXPECT_EQ(none.count, 0);
    EXPECT_TRUE(none.pieces.overflow);
}

TEST(Split, StartsAfreshOnAReusedList) {
    SplitResult<1> result;
    split(text_of("a,b,c"), ',', result.pieces);
    ASSERT_TRUE(result.pieces.overflow);
    EXPECT_EQ(split(text_of("x"), ',', result.pieces), 1);
    EXPECT_EQ(as_view(result.pieces[0]), "x");
    EXPECT_FALSE(result.pieces.overflow);
}

TEST(SplitAddressString, ReadsHostAndPort) {
    char host[16];
    uint16_t port = 0;
    ASSERT_EQ(split_address_string("example:5466", host, sizeof(host), port), 0);
    EXPECT_STREQ(host, "example");
    EXPECT_EQ(port, 5466);

    // Only the first colon separates; the port is read as far as it is a number.
    ASSERT_EQ(split_address_string("h:80:90", host, sizeof(host), port), 0);
    EXPECT_STREQ(host, "h");
    EXPECT_EQ(port, 80);
}

TEST(SplitAddressString, HostMayHaveTwoCharactersLessThanTheBuffer) {
    char host[16];
    uint16_t port = 0;
    EXPECT_EQ(split_address_string("abcdefghijklmn:1", host, sizeof(host), port), 0);
    EXPECT_STREQ(host, "abcdefghijklmn");
    EXPECT_EQ(split_address_string("abcdefghijklmno:1", host, sizeof(host), port), -1);
}

TEST(SplitAddressString, RejectsTextWithoutHostPortForm) {
    char host[16] = "untouched";
    uint16_t port = 7;
    EXPECT_EQ(split_address_string("example", host, sizeof(host), port), -1);
    EXPECT_EQ(split_address_string("", host, sizeof(host), port), -1);
    EXPECT_STREQ(host, "untouched");
    EXPECT_EQ(port, 7);
}

TEST(SplitAddressString, PortIsNotValidated) {
    char host[16];
    uint16_t port = 7;
    ASSERT_EQ(split_address_string("h:", host, sizeof(host), port), 0);
    EXPECT_EQ(port, 0);
    ASSERT_EQ(split_address_string("h:70000", host, sizeof(host), port), 0);
    EXPECT_EQ(port, static_cast<uint16_t>(70000));
}

TEST(SliceFromCstr, NeedsTheTerminatorWithinTheLimit) {
    const char* text = "hello";
    const ConstSlice<char> cut = slice_from_cstr(text, 5);
    EXPECT_EQ(cut.data, nullptr);
    EXPECT_EQ(cut.size, 0u);

    const ConstSlice<char> whole = slice_from_cstr(text, 6);
    EXPECT_EQ(whole.data, text);
    EXPECT_EQ(whole.size, 5u);

    const ConstSlice<char> empty = slice_from_cstr("", 1);
    EXPECT_NE(empty.data, nullptr);
    EXPECT_EQ(empty.size, 0u);
}

}  // namespace
}  // namespace kelvra
