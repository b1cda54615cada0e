#include "codec/utf8.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace mirandel::codec {
namespace {

std::string lossy(std::string_view bytes) {
  return decode_utf8_lossy(
      std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

TEST(IsValidUtf8, AcceptsWellFormedTextOnly) {
  struct Case {
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"", true},
      {"plain ascii", true},
      {std::string("nul\0inside", 10), true},
      {"\xC2\x80", true},              // U+0080
      {"\xC3\xA9", true},              // é
      {"\xDF\xBF", true},              // U+07FF
      {"\xE0\xA0\x80", true},          // U+0800
      {"\xED\x9F\xBF", true},          // U+D7FF
      {"\xEE\x80\x80", true},          // U+E000
      {"\xEF\xBF\xBF", true},          // U+FFFF
      {"\xF0\x90\x80\x80", true},      // U+10000
      {"\xF4\x8F\xBF\xBF", true},      // U+10FFFF
      {"\x80", false},                 // lone continuation
      {"\xBF", false},                 //
      {"\xC0\x80", false},             // overlong NUL
      {"\xC1\xBF", false},             // overlong
      {"\xC2", false},                 // truncated
      {"\xC2\x41", false},             // continuation missing
      {"\xE0\x9F\xBF", false},         // overlong three-byte
      {"\xE1\x80", false},             // truncated
      {"\xED\xA0\x80", false},         // surrogate U+D800
      {"\xED\xBF\xBF", false},         // surrogate U+DFFF
      {"\xF0\x8F\xBF\xBF", false},     // overlong four-byte
      {"\xF4\x90\x80\x80", false},     // U+110000
      {"\xF5\x80\x80\x80", false},     //
      {"\xFE", false},                 //
      {"\xFF", false},                 //
      {"abcdefghij\xE2\x82", false},   // truncated after the ASCII fast path
      {"abcdefgh\x80", false},         // right after a full word of ASCII
      {"abcdefgh\xE2\x82\xAC", true},  // € after a full word of ASCII
  };
  for (const Case& c : cases)
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(DecodeUtf8Lossy, ReplacesEachMaximalSubpartByOneReplacementCharacter) {
  const std::string R = "\xEF\xBF\xBD";  // U+FFFD
  struct Case {
    std::string bytes;
    std::string text;
  };
  const Case cases[] = {
      {"", ""},
      {"Token \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "Token \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"\xF0\x80\x80", R + R + R},          // F0 cannot take 80: three subparts
      {"\xE1\x80\x41", R + "A"},            // one truncated subpart
      {"\xC0\xAF", R + R},                  // C0 never starts a sequence
      {"\xED\xA0\x80", R + R + R},          // surrogates are not subparts of ED
      {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
      {"\xE0\x80\x80", R + R + R},          // overlong
      {"\xF0\x9F\x98", R},                  // truncated at the end
      {"ab\xF0\x9F\x98", "ab" + R},         //
      {"\xF0\x9F\x98\xF0\x9F\x98\x80", R + "\xF0\x9F\x98\x80"},
      {"\x80\x80", R + R},
      {"\xFF\xFE", R + R},
      // The Unicode Standard's worked example.
      {"\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
       "a" + R + R + R + "b" + R + "c" + R + R + "d"},
      {"Slot 1     \xC3", "Slot 1     " + R},
  };
  for (const Case& c : cases) EXPECT_EQ(lossy(c.bytes), c.text) << testing::PrintToString(c.bytes);
}

TEST(DecodeUtf8Lossy, AlwaysGivesValidUtf8) {
  // Every one- and two-byte input, and every three-byte input from a lead.
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) {
      const std::string two{static_cast<char>(a), static_cast<char>(b)};
      ASSERT_TRUE(is_valid_utf8(lossy(two))) << a << " " << b;
      if (is_valid_utf8(two)) ASSERT_EQ(lossy(two), two);
    }
  }
}

TEST(UtfSequenceLength, MeasuresTheFirstWellFormedSequence) {
  struct Case {
    std::string bytes;
    std::size_t length;
  };
  const Case cases[] = {
      {"", 0},
      {"A\x80", 1},
      {"\xC3\xA9x", 2},
      {"\xE2\x82\xAC", 3},
      {"\xF0\x9F\x98\x80", 4},
      {"\xF0\x9F\x98", 0},
      {"\x80", 0},
      {"\xED\xA0\x80", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(utf8_sequence_length(
                  std::span(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size())),
              c.length)
        << testing::PrintToString(c.bytes);
  }
}

const char32_t WHITE_SPACE[] = {0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x0085,
                                0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
                                0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028,
                                0x2029, 0x202F, 0x205F, 0x3000};

TEST(IsWhiteSpace, HoldsForEveryListedCodePoint) {
  for (char32_t c : WHITE_SPACE)
    EXPECT_TRUE(is_white_space(c)) << std::hex << static_cast<std::uint32_t>(c);
}

TEST(IsWhiteSpace, FailsForNeighboursAndLookAlikes) {
  const char32_t cases[] = {0x0000, 0x0008, 0x000E, 0x001C, 0x001F, 0x0021,  0x0084,
                            0x0086, 0x009F, 0x00A1, 0x167F, 0x1681, 0x180E,  0x1FFF,
                            0x200B, 0x200C, 0x200D, 0x2027, 0x202A, 0x202E,  0x2030,
                            0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF, 0x10FFFF};
  for (char32_t c : cases)
    EXPECT_FALSE(is_white_space(c)) << std::hex << static_cast<std::uint32_t>(c);
}

TEST(IsWhiteSpace, HoldsForNoOtherCodePoint) {
  const std::set<char32_t> listed(std::begin(WHITE_SPACE), std::end(WHITE_SPACE));
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (is_white_space(c) != listed.contains(c))
      FAIL() << std::hex << static_cast<std::uint32_t>(c);
  }
}

TEST(IsBlank, IsTrueOnlyForEmptyOrWhiteSpaceText) {
  struct Case {
    std::string text;
    bool blank;
  };
  const Case cases[] = {
      {"", true},
      {" ", true},
      {"\t\n\v\f\r ", true},
      {"\xC2\xA0\xE3\x80\x80\xE2\x80\xA8\xC2\x85", true},  // U+00A0 U+3000 U+2028 U+0085
      {"a", false},
      {" a ", false},
      {std::string(1, '\0'), false},
      {"\xE2\x80\x8B", false},  // U+200B
      {"\xEF\xBB\xBF", false},  // U+FEFF
      {"\xA0", false},          // a raw continuation byte is ill-formed, not blank
      {"\xC2", false},
      {" \x85", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(is_blank(c.text), c.blank) << testing::PrintToString(c.text);
}

TEST(TrimWhiteSpace, RemovesWhiteSpaceAtBothEndsOnly) {
  struct Case {
    std::string text;
    std::string trimmed;
  };
  const Case cases[] = {
      {"", ""},
      {"   ", ""},
      {"  ab  ", "ab"},
      {"a b", "a b"},
      {"\t a \xE3\x80\x80 b \r\n", "a \xE3\x80\x80 b"},
      {"\xE3\x80\x80Token\xE2\x80\xA9", "Token"},
      {"\xC2\x85x\xC2\xA0", "x"},
      {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},  // U+200B stays
      {"\xFF ", "\xFF"},                                           // ill-formed bytes stay
      {" \xC2", "\xC2"},
      {" \xC2\xA0\xC2", "\xC2"},
      {std::string(" \0 ", 3), std::string(1, '\0')},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(trim_white_space(c.text), c.trimmed) << testing::PrintToString(c.text);
  }
}

}  // namespace
}  // namespace mirandel::codec
