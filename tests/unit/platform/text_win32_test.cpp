#include "platform/text_win32.hpp"

#include <gtest/gtest.h>

#include <string>

#include "platform/console_win32.hpp"

namespace mirandel::platform::win32 {
namespace {

struct Utf16Case {
  std::wstring utf16;
  std::string utf8;
};

class Utf16ToUtf8 : public testing::TestWithParam<Utf16Case> {};

TEST_P(Utf16ToUtf8, ReplacesOnlyLoneSurrogates) {
  EXPECT_EQ(utf16_to_utf8_lossy(GetParam().utf16), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf16ToUtf8,
    testing::Values(Utf16Case{L"", ""}, Utf16Case{L"sign", "sign"},
                    Utf16Case{L"Caff\u00e8 \u20ac", "Caff\xc3\xa8 \xe2\x82\xac"},
                    Utf16Case{std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
                    Utf16Case{L"\x7f\x80\x7ff\x800\xffff",
                              "\x7f\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf"},
                    // A pair is one character; U+10FFFF is the last one.
                    Utf16Case{L"\xD83D\xDE00", "\xf0\x9f\x98\x80"},
                    Utf16Case{L"\xDBFF\xDFFF", "\xf4\x8f\xbf\xbf"},
                    // Lone surrogates, wherever they stand.
                    Utf16Case{L"\xD800", "\xef\xbf\xbd"}, Utf16Case{L"\xDC00", "\xef\xbf\xbd"},
                    Utf16Case{L"a\xD83D", "a\xef\xbf\xbd"},
                    Utf16Case{L"\xDE00\xD83D", "\xef\xbf\xbd\xef\xbf\xbd"},
                    Utf16Case{L"\xD800\xD800\xDC00", "\xef\xbf\xbd\xf0\x90\x80\x80"},
                    Utf16Case{L"\xD800 ", "\xef\xbf\xbd "}));

TEST(Utf8ToUtf16, ConvertsWellFormedText) {
  EXPECT_EQ(utf8_to_utf16(""), L"");
  EXPECT_EQ(utf8_to_utf16("Citt\xc3\xa0"), L"Citt\u00e0");
  EXPECT_EQ(utf8_to_utf16("\xf0\x9f\x98\x80"), L"\xD83D\xDE00");
  EXPECT_EQ(utf8_to_utf16(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(Utf8ToUtf16, ReplacesIllFormedBytes) {
  std::wstring converted = utf8_to_utf16(
      "a\xff"
      "b");
  EXPECT_EQ(converted,
            L"a\xFFFD"
            L"b");
}

TEST(ConsoleText, IsTheDocumentWithOneLineFeedInUtf16) {
  // What WriteConsoleW receives on a console whose code page is not UTF-8:
  // the accented letters as characters, not as their UTF-8 bytes.
  std::wstring text = console_text(
      "{\"slots\":[{\"description\":\"Lettore \xc3\xa8\",\"token_label\":\"Citt\xc3\xa0\"}]}");
  EXPECT_EQ(text,
            L"{\"slots\":[{\"description\":\"Lettore \u00e8\",\"token_label\":\"Citt\u00e0\"}]}\n");
  EXPECT_EQ(console_text(""), L"\n");
}

}  // namespace
}  // namespace mirandel::platform::win32
