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

namespace mirandel::codec {
namespace {

/// The decoder's answer worked out one byte at a time, independently.
std::expected<Bytes, HexError> decode_slowly(const std::string& text) {
  if (text.size() % 2 != 0) return std::unexpected(HexError{HexOddLength{}});
  const std::string digits = "0123456789abcdef";
  Bytes bytes;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
    const std::size_t value =
        static_cast<unsigned char>(text[i]) < 0x80 ? digits.find(lower) : std::string::npos;
    if (value == std::string::npos) {
      return std::unexpected(HexError{HexInvalidByte{static_cast<std::uint8_t>(text[i]), i}});
    }
    if (i % 2 == 0) {
      bytes.push_back(static_cast<std::uint8_t>(value << 4));
    } else {
      bytes.back() = static_cast<std::uint8_t>(bytes.back() | value);
    }
  }
  return bytes;
}

// Long texts go through the block decoder: every bad byte at every position
// of a text spanning several blocks and a tail must still be the one named.
TEST(HexDecode, NamesTheFirstBadByteAtEveryPositionOfALongText) {
  std::string text;
  std::mt19937 random(7);
  const std::string digits = "0123456789abcdefABCDEF";
  for (int i = 0; i < 98; ++i) text += digits[random() % digits.size()];
  const std::uint8_t bad_bytes[] = {'/',  ':',  '@',  'G',  '`',  'g',  ' ',
                                    0x00, 0x7F, 0x80, 0xB0, 0xC1, 0xE6, 0xFF};
  for (std::uint8_t bad : bad_bytes) {
    for (std::size_t position = 0; position < text.size(); ++position) {
      std::string broken = text;
      broken[position] = static_cast<char>(bad);
      auto decoded = hex_decode(broken);
      ASSERT_FALSE(decoded.has_value()) << int{bad} << " at " << position;
      EXPECT_EQ(decoded.error(), HexError(HexInvalidByte{bad, position}));
    }
  }
}

TEST(HexDecode, AgreesWithAByteWiseDecoderOnRandomTexts) {
  std::mt19937 random(11);
  const std::string digits = "0123456789abcdefABCDEF";
  for (std::size_t length : {0u, 2u, 30u, 32u, 34u, 64u, 66u, 1000u, 4098u}) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += digits[random() % digits.size()];
    // Sometimes one byte of any value somewhere.
    if (length != 0 && random() % 2 == 0) {
      text[random() % length] = static_cast<char>(random() % 256);
    }
    auto decoded = hex_decode(text);
    auto expected = decode_slowly(text);
    ASSERT_EQ(decoded.has_value(), expected.has_value()) << text;
    if (decoded) {
      EXPECT_EQ(*decoded, *expected);
    } else {
      EXPECT_EQ(decoded.error(), expected.error());
    }
  }
}

TEST(HexDecodeInto, WritesHalfTheTextIntoTheGivenBytes) {
  const std::string text = "00ff10ABcdEF0123456789abcdef0123456789ABCDEF";
  Bytes out(text.size() / 2 + 1, 0x5A);
  ASSERT_TRUE(hex_decode_into(text, out).has_value());
  EXPECT_EQ(Bytes(out.begin(), out.end() - 1), *hex_decode(text));
  EXPECT_EQ(out.back(), 0x5A);  // nothing past the decoded bytes
  EXPECT_EQ(hex_decode_into("abc", out).error(), HexError{HexOddLength{}});
}

}  // namespace
}  // namespace mirandel::codec
