#include "invocation.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "messages.hpp"
#include "param_name.hpp"

namespace mirandel {
namespace {

std::vector<platform::Argument> arguments_of(const std::vector<std::string>& texts) {
  std::vector<platform::Argument> arguments;
  for (const std::string& text : texts) arguments.push_back(platform::argument_from_utf8(text));
  return arguments;
}

/// The native form the platform gives `utf8`, to compare paths on any platform.
std::filesystem::path::string_type native_of(const std::string& utf8) {
  return platform::argument_from_utf8(utf8).native.native();
}

struct UsageCase {
  const char* name;
  std::vector<std::string> arguments;
};

void PrintTo(const UsageCase& c, std::ostream* os) { *os << c.name; }

class ParseInvocationUsage : public testing::TestWithParam<UsageCase> {};

TEST_P(ParseInvocationUsage, GivesUsageWhenTheModuleIsMissingOrBlank) {
  std::vector<platform::Argument> arguments = arguments_of(GetParam().arguments);
  EXPECT_TRUE(std::holds_alternative<Usage>(parse_invocation(arguments)));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ParseInvocationUsage,
    testing::Values(UsageCase{"NoArgumentsAtAll", {}}, UsageCase{"OnlyTheProgramName", {"helper"}},
                    UsageCase{"EmptyModule", {"helper", ""}},
                    UsageCase{"BlanksAndTabs", {"helper", " \t \t "}},
                    UsageCase{"LineBreaksAndFeeds", {"helper", "\r\n\v\f"}},
                    UsageCase{"IdeographicSpace", {"helper", "\u3000"}},
                    UsageCase{"NextLineNoBreakAndLineSeparator", {"helper", "\u0085\u00a0\u2028"}},
                    UsageCase{"OghamAndNarrowSpaces", {"helper", "\u1680\u2000\u200a\u202f\u205f"}},
                    UsageCase{"BlankModuleBeforeAnOutput", {"helper", " ", "out.json"}},
                    UsageCase{"BlankModuleInASigningCall",
                              {"helper", "", "out.json", "sign", "r"}}),
    test::by_name);

struct InvocationCase {
  const char* name;
  std::vector<std::string> arguments;
  std::string module;
  std::optional<std::string> output;
  RunMode mode;
  std::string request;
};

void PrintTo(const InvocationCase& c, std::ostream* os) { *os << c.name; }

class ParseInvocationRun : public testing::TestWithParam<InvocationCase> {};

TEST_P(ParseInvocationRun, KeepsPathsExactlyAndPicksTheMode) {
  const InvocationCase& c = GetParam();
  std::vector<platform::Argument> arguments = arguments_of(c.arguments);

  std::variant<Invocation, Usage> outcome = parse_invocation(arguments);
  ASSERT_TRUE(std::holds_alternative<Invocation>(outcome));
  const Invocation& invocation = std::get<Invocation>(outcome);
  EXPECT_EQ(invocation.module_path.native(), native_of(c.module));
  ASSERT_EQ(invocation.output_path.has_value(), c.output.has_value());
  if (c.output) EXPECT_EQ(invocation.output_path->native(), native_of(*c.output));
  EXPECT_EQ(invocation.mode, c.mode);
  EXPECT_EQ(invocation.request_path.utf8, c.request);
  EXPECT_EQ(invocation.request_path.native.native(), native_of(c.request));
}

constexpr RunMode List = RunMode::List;
constexpr RunMode Sign = RunMode::Sign;

INSTANTIATE_TEST_SUITE_P(
    Table, ParseInvocationRun,
    testing::Values(
        // By number of arguments.
        InvocationCase{"ModuleOnly", {"helper", "module.so"}, "module.so", std::nullopt, List, ""},
        InvocationCase{
            "ModuleAndOutput", {"helper", "m.so", "out.json"}, "m.so", "out.json", List, ""},
        InvocationCase{"SignWithoutRequest",
                       {"helper", "m.so", "out.json", "sign"},
                       "m.so",
                       "out.json",
                       Sign,
                       ""},
        InvocationCase{"SignWithRequest",
                       {"helper", "m.so", "out.json", "sign", "req.json"},
                       "m.so",
                       "out.json",
                       Sign,
                       "req.json"},
        InvocationCase{"OtherModeIgnoresTheRest",
                       {"helper", "m.so", "out.json", "list", "req.json"},
                       "m.so",
                       "out.json",
                       List,
                       ""},
        InvocationCase{"ArgumentsAfterTheRequestIgnored",
                       {"helper", "m.so", "out.json", "sign", "req.json", "extra"},
                       "m.so",
                       "out.json",
                       Sign,
                       "req.json"},
        // Blanks are kept in paths, and blank outputs mean standard output.
        InvocationCase{"LeadingBlankKeptInModule",
                       {"helper", " module.so"},
                       " module.so",
                       std::nullopt,
                       List,
                       ""},
        InvocationCase{"TrailingTabKeptInModule",
                       {"helper", "module.so\t"},
                       "module.so\t",
                       std::nullopt,
                       List,
                       ""},
        InvocationCase{
            "EmptyOutputMeansStdout", {"helper", "m.so", ""}, "m.so", std::nullopt, List, ""},
        InvocationCase{"BlankOutputMeansStdout",
                       {"helper", "m.so", " \u3000\t"},
                       "m.so",
                       std::nullopt,
                       List,
                       ""},
        InvocationCase{
            "OutputNotTrimmed", {"helper", "m.so", " out.json "}, "m.so", " out.json ", List, ""},
        InvocationCase{"EmptyOutputSignFromStdin",
                       {"helper", "m.so", "", "sign", "-"},
                       "m.so",
                       std::nullopt,
                       Sign,
                       "-"},
        // "sign" only at position 3, byte for byte.
        InvocationCase{"SignInSecondPositionIsTheOutput",
                       {"helper", "m.so", "sign", "req.json"},
                       "m.so",
                       "sign",
                       List,
                       ""},
        InvocationCase{"UpperCaseSignLists",
                       {"helper", "m.so", "out.json", "SIGN", "req.json"},
                       "m.so",
                       "out.json",
                       List,
                       ""},
        InvocationCase{"SignWithTrailingBlankLists",
                       {"helper", "m.so", "out.json", "sign ", "r"},
                       "m.so",
                       "out.json",
                       List,
                       ""},
        InvocationCase{"SignWithLeadingBlankLists",
                       {"helper", "m.so", "out.json", " sign", "r"},
                       "m.so",
                       "out.json",
                       List,
                       ""},
        InvocationCase{"EmptyRequestKeptEmpty",
                       {"helper", "m.so", "out.json", "sign", ""},
                       "m.so",
                       "out.json",
                       Sign,
                       ""},
        InvocationCase{"BlankRequestKeptAsIs",
                       {"helper", "m.so", "out.json", "sign", "  "},
                       "m.so",
                       "out.json",
                       Sign,
                       "  "},
        // Not white space, so not blank.
        InvocationCase{
            "ZeroWidthSpaceIsAModule", {"helper", "\u200b"}, "\u200b", std::nullopt, List, ""},
        InvocationCase{
            "ByteOrderMarkIsAModule", {"helper", "\ufeff"}, "\ufeff", std::nullopt, List, ""},
        InvocationCase{"IllFormedBytesAreAModule",
                       {"helper", "\xff\xfe"},
                       "\xff\xfe",
                       std::nullopt,
                       List,
                       ""}),
    test::by_name);

TEST(UsageLine, IsTheSeventyOneByteItalianLine) {
  EXPECT_EQ(USAGE_LINE, "uso: mirandel-pkcs11-helper <modulo> [output.json] [sign <input.json>]\n");
  EXPECT_EQ(USAGE_LINE.size(), 71u);
}

}  // namespace
}  // namespace mirandel
