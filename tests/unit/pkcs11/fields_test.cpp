#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "pkcs11/token.hpp"

namespace mirandel::pkcs11 {
namespace {

std::array<std::uint8_t, 32> field32(std::string_view text, std::uint8_t pad) {
  std::array<std::uint8_t, 32> field;
  field.fill(pad);
  std::copy(text.begin(), text.end(), field.begin());
  return field;
}

TEST(BlankPaddedText, StripsTrailingBlanksOnly) {
  struct Case {
    std::array<std::uint8_t, 32> field;
    std::string text;
  };
  const Case cases[] = {
      {field32("Mirandel", ' '), "Mirandel"},
      {field32("", ' '), ""},
      {field32("  two", ' '), "  two"},
      {field32("nul", '\0'), std::string("nul") + std::string(29, '\0')},
      {field32("tab\t", ' '), "tab\t"},
      {field32("a\xFF", ' '), "a\xEF\xBF\xBD"},
      {field32("\xC3\xA8 ok", ' '), "\xC3\xA8 ok"},
  };
  for (const Case& c : cases) EXPECT_EQ(blank_padded_text(c.field), c.text);
}

TEST(DecodeClockTime, ReadsFourteenDigitsAndIgnoresTheLastTwo) {
  struct Case {
    std::string_view utc;
    std::optional<ClockTime> time;
  };
  const Case cases[] = {
      {"2024010112000000", ClockTime{2024, 1, 1, 12, 0, 0}},
      {"20241231235959zz", ClockTime{2024, 12, 31, 23, 59, 59}},
      {"+999+1+2+3+4+500", ClockTime{999, 1, 2, 3, 4, 5}},
      {"99999999999999  ", ClockTime{9999, 99, 99, 99, 99, 99}},
      {"                ", std::nullopt},
      {"2024-1011200000 ", std::nullopt},
      {"20240101 2000000", std::nullopt},
      {"++24010112000000", std::nullopt},
      {"2024+012000000 0", ClockTime{2024, 0, 12, 0, 0, 0}},
      {"20240+0112000000", std::nullopt},
      {"202401011200000x", ClockTime{2024, 1, 1, 12, 0, 0}},
      {"2024010112000x00", std::nullopt},
      {"\xEF\xBC\x92\x30"
       "010112000000",
       std::nullopt},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.utc.size(), 16u) << c.utc;
    std::array<std::uint8_t, 16> raw;
    std::copy(c.utc.begin(), c.utc.end(), raw.begin());
    EXPECT_EQ(decode_clock_time(raw), c.time) << c.utc;
  }
}

}  // namespace
}  // namespace mirandel::pkcs11
