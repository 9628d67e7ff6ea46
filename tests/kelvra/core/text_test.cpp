#include "kelvra/core/text.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace kelvra {
namespace {

ConstSlice<char> text_of(std::string_view text) {
    return {text.data(), text.size()};
}

using Pieces = std::vector<std::string_view>;

// Pieces of `text` split at commas into a list of capacity N, and whether it overflowed.
template <size_t N>
std::pair<Pieces, bool> split_into(std::string_view text) {
    std::array<ConstSlice<char>, N> storage{};
    ArrayList<ConstSlice<char>> pieces{storage.data(), N};
    const int count = split(text_of(text), ',', pieces);
    Pieces views;
    for (int i = 0; i < count; ++i) views.emplace_back(pieces[i].data, pieces[i].size);
    return {views, pieces.overflow};
}

TEST(Split, KeepsEmptyPiecesAndFlagsWhatDoesNotFit) {
    EXPECT_EQ(split_into<4>("a,b,"), std::make_pair(Pieces{"a", "b", ""}, false));
    EXPECT_EQ(split_into<2>(""), std::make_pair(Pieces{""}, false));
    EXPECT_EQ(split_into<1>("abc"), std::make_pair(Pieces{"abc"}, false));
    EXPECT_EQ(split_into<1>("a,b"), std::make_pair(Pieces{"a"}, true));
    EXPECT_EQ(split_into<0>("a"), std::make_pair(Pieces{}, true));
}

TEST(Split, PiecesPointIntoTheTextAndAReusedListStartsAfresh) {
    const std::string_view text = "a,b,c";
    std::array<ConstSlice<char>, 2> storage{};
    ArrayList<ConstSlice<char>> pieces{storage.data(), 2};
    EXPECT_EQ(split(text_of(text), ',', pieces), 2);
    EXPECT_EQ(pieces[1].data, text.data() + 2);
    ASSERT_TRUE(pieces.overflow);
    EXPECT_EQ(split(text_of("x"), ',', pieces), 1);
    EXPECT_FALSE(pieces.overflow);
}

// Only the first colon separates; the port is read as far as it is a number; the host may have
// two characters less than the buffer. A refused address leaves host and port as they were.
TEST(SplitAddressString, ReadsHostAndPortWhenTheHostFits) {
    const std::tuple<const char*, int, const char*, uint16_t> cases[] = {
        {"example", -1, "untouched", 7},
        {"", -1, "untouched", 7},
        {"example:5466", 0, "example", 5466},
        {"h:80:90", 0, "h", 80},
        {"abcdefghijklmn:1", 0, "abcdefghijklmn", 1},
        {"abcdefghijklmno:1", -1, "untouched", 7},
    };
    for (const auto& [text, result, expected_host, expected_port] : cases) {
        char host[16] = "untouched";
        uint16_t port = 7;
        EXPECT_EQ(split_address_string(text, host, sizeof(host), port), result) << text;
        EXPECT_STREQ(host, expected_host) << text;
        EXPECT_EQ(port, expected_port) << text;
    }
}

TEST(SliceFromCstr, NeedsTheTerminatorWithinTheLimit) {
    const char* text = "hello";
    EXPECT_EQ(slice_from_cstr(text, 5).data, nullptr);
    EXPECT_EQ(slice_from_cstr(text, 5).size, 0u);
    EXPECT_EQ(slice_from_cstr(text, 6).data, text);
    EXPECT_EQ(slice_from_cstr(text, 6).size, 5u);
    EXPECT_NE(slice_from_cstr("", 1).data, nullptr);
    EXPECT_EQ(slice_from_cstr("", 1).size, 0u);
}

}  // namespace
}  // namespace kelvra
