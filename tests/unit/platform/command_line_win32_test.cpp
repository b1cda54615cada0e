#include "platform/command_line_win32.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/arguments.hpp"

namespace mirandel::platform::win32 {
namespace {

struct SplitCase {
  const wchar_t* command_line;
  std::vector<std::wstring> arguments;  // program name first
};

class SplitCommandLine : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLine, SplitsAsTheCRuntimeDoes) {
  EXPECT_EQ(split_command_line(GetParam().command_line), GetParam().arguments)
      << "command line: " << testing::PrintToString(std::wstring(GetParam().command_line));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLine,
    testing::Values(
        // Blanks and tabs separate; runs of them count once; ends are trimmed.
        SplitCase{L"prog a b", {L"prog", L"a", L"b"}},
        SplitCase{L"prog \t a\t\tb  ", {L"prog", L"a", L"b"}},
        SplitCase{L"prog a\nb\rc\vd", {L"prog", L"a\nb\rc\vd"}}, SplitCase{L"", {L""}},
        SplitCase{L"prog", {L"prog"}},
        // The program name: quotes group, backslashes are literal.
        SplitCase{L"\"C:\\Program Files\\h.exe\" x", {L"C:\\Program Files\\h.exe", L"x"}},
        SplitCase{L"\"C:\\a b\\\\\" x", {L"C:\\a b\\\\", L"x"}}, SplitCase{L"\"\" x", {L"", L"x"}},
        SplitCase{L"C:\\dir\\\"h.exe\" x", {L"C:\\dir\\h.exe", L"x"}},
        // Quoting inside arguments.
        SplitCase{L"prog \"a b\" c", {L"prog", L"a b", L"c"}},
        SplitCase{L"prog s\"ig\"n", {L"prog", L"sign"}}, SplitCase{L"prog \"\"", {L"prog", L""}},
        SplitCase{L"prog \"\" \"\" x", {L"prog", L"", L"", L"x"}},
        SplitCase{L"prog \"a b", {L"prog", L"a b"}},
        SplitCase{L"prog \"a\"\"b\"", {L"prog", L"a\"b"}},
        SplitCase{L"prog \"a\"\"b c\"", {L"prog", L"a\"b c"}},
        SplitCase{L"prog a\"\"b", {L"prog", L"ab"}},
        // Backslashes: literal unless they precede a quote.
        SplitCase{L"prog C:\\dir\\file", {L"prog", L"C:\\dir\\file"}},
        SplitCase{L"prog \\\\server\\share", {L"prog", L"\\\\server\\share"}},
        SplitCase{L"prog a\\\"b", {L"prog", L"a\"b"}},
        SplitCase{L"prog a\\\\\"b c\"", {L"prog", L"a\\b c"}},
        SplitCase{L"prog a\\\\\\\"b", {L"prog", L"a\\\"b"}},
        SplitCase{L"prog \"C:\\dir with space\\\\\" next",
                  {L"prog", L"C:\\dir with space\\", L"next"}},
        SplitCase{L"prog \"C:\\dir\\\" next\"", {L"prog", L"C:\\dir\" next"}},
        SplitCase{L"prog trailing\\", {L"prog", L"trailing\\"}},
        // Non-ASCII and lone surrogates pass through as code units.
        SplitCase{L"prog citt\u00e0 \"uscita \u00e8.json\"",
                  {L"prog", L"citt\u00e0", L"uscita \u00e8.json"}},
        SplitCase{L"prog a\xD800z", {L"prog", L"a\xD800z"}}));

TEST(CommandLineArguments, KeepTheNativeFormAndCheckTheUtf8Form) {
  // The runner's own command line: the program name is always there and its
  // two forms describe the same text.
  std::vector<Argument> arguments = command_line_arguments(0, nullptr);
  ASSERT_FALSE(arguments.empty());
  EXPECT_FALSE(arguments[0].utf8.empty());
  EXPECT_EQ(arguments[0].native, argument_from_utf8(arguments[0].utf8).native);
}

TEST(ArgumentFromUtf8, ConvertsTheNativeFormToUtf16) {
  Argument argument = argument_from_utf8("C:\\Citt\xc3\xa0\\modulo \xf0\x9f\x94\x91.dll");
  EXPECT_EQ(argument.native.native(), L"C:\\Citt\u00e0\\modulo \xD83D\xDD11.dll");
  EXPECT_EQ(argument.utf8, "C:\\Citt\xc3\xa0\\modulo \xf0\x9f\x94\x91.dll");
}

}  // namespace
}  // namespace mirandel::platform::win32
