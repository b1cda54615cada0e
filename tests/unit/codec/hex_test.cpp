#include "codec/hex.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace mirandel::codec {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(HexEncode, WritesTwoLowerCaseDigitsPerByteHighNibbleFirst) {
  struct Case {
    Bytes bytes;
    std::string text;
  };
  const Case cases[] = {
      {{}, ""},
      {{0x00, 0x01, 0xAB, 0xFF}, "0001abff"},
      {{0x0F, 0xF0}, "0ff0"},
      {{0x9A, 0xBC, 0xDE}, "9abcde"},
  };
  for (const Case& c : cases) EXPECT_EQ(hex_encode(c.bytes), c.text);
}

TEST(HexDecode, AcceptsDigitsOfEitherCase) {
  struct Case {
    std::string text;
    Bytes bytes;
  };
  const Case cases[] = {
      {"", {}},
      {"0001ABff", {0x00, 0x01, 0xAB, 0xFF}},
      {"0001abff", {0x00, 0x01, 0xAB, 0xFF}},
      {"aB", {0xAB}},
      {"Ab", {0xAB}},
      {"09af", {0x09, 0xAF}},
      {"90FA", {0x90, 0xFA}},
  };
  for (const Case& c : cases) {
    auto decoded = hex_decode(c.text);
    ASSERT_TRUE(decoded.has_value()) << c.text;
    EXPECT_EQ(*decoded, c.bytes) << c.text;
  }
}

TEST(HexDecode, RejectsOddLengthBeforeLookingAtCharacters) {
  const std::string cases[] = {"a",
                               "abc",
                               "00 01",
                               "zzz",
                               "0x0",
                               "\xC3\xA9"
                               "0"};
  for (const std::string& text : cases) {
    auto decoded = hex_decode(text);
    ASSERT_FALSE(decoded.has_value()) << text;
    EXPECT_EQ(decoded.error(), HexError{HexOddLength{}}) << text;
  }
}

TEST(HexDecode, ReportsTheFirstOffendingByteAndItsPosition) {
  struct Case {
    std::string text;
    std::uint8_t byte;
    std::size_t position;
  };
  const Case cases[] = {
      {"0x00", 'x', 1},
      {"00  01", ' ', 2},
      {"zz", 'z', 0},
      {"0z", 'z', 1},
      // The first byte of a two-byte character, not the character.
      {"\xC3\xA9"
       "01",
       0xC3, 0},
      {"00\xC3\xA9", 0xC3, 2},
      {std::string("0\0", 2), 0x00, 1},
      // Neighbours of the digit ranges.
      {"/0", '/', 0},
      {":0", ':', 0},
      {"0@", '@', 1},
      {"G0", 'G', 0},
      {"0`", '`', 1},
      {"g0", 'g', 0},
      {"000000000000000g", 'g', 15},
  };
  for (const Case& c : cases) {
    auto decoded = hex_decode(c.text);
    ASSERT_FALSE(decoded.has_value()) << c.text;
    EXPECT_EQ(decoded.error(), HexError(HexInvalidByte{c.byte, c.position})) << c.text;
  }
}

TEST(HexRoundTrip, EncodingThenDecodingGivesTheBytesBack) {
  Bytes every_byte(256);
  for (int i = 0; i < 256; ++i) every_byte[i] = static_cast<std::uint8_t>(i);
  auto decoded = hex_decode(hex_encode(every_byte));
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(*decoded, every_byte);

  std::mt19937 random(20240611);
  for (std::size_t length : {1u, 2u, 7u, 64u, 1000u}) {
    Bytes bytes(length);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>(random());
    auto again = hex_decode(hex_encode(bytes));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, bytes);
  }
}

TEST(HexRoundTrip, DecodingThenEncodingGivesTheTextInLowerCase) {
  const std::string text = "00FFaBcD0123456789ABCDEFabcdef";
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto decoded = hex_decode(text);
  ASSERT_TRUE(decoded.has_value());
  EXPECT_EQ(hex_encode(*decoded), lower);
}

}  // namespace
}  // namespace mirandel::codec
