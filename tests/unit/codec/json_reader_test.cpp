#include "codec/json_reader.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace mirandel::codec {
namespace {

std::expected<SignIn, JsonReadError> parse(std::string_view text) {
  return parse_sign_in(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

/// The four texts of a parsed request, for comparison.
struct Texts {
  std::string pin, cert, data, mechanism;
  friend bool operator==(const Texts&, const Texts&) = default;
  friend void PrintTo(const Texts& t, std::ostream* os) {
    *os << testing::PrintToString(t.pin) << ", " << testing::PrintToString(t.cert) << ", "
        << testing::PrintToString(t.data) << ", " << testing::PrintToString(t.mechanism);
  }
};

Texts texts(const SignIn& in) {
  return {std::string(in.pin.view()), in.cert_der_hex, in.data_hex, in.mechanism};
}

/// A complete request object with one extra member whose value is `extra`
/// written as it stands.
std::string with_extra(std::string_view extra) {
  return R"({"pin":"1234","x":)" + std::string(extra) +
         R"(,"cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})";
}

/// A complete request object whose PIN is written as it stands, quotes
/// included.
std::string with_pin(std::string_view pin) {
  return R"({"pin":)" + std::string(pin) +
         R"(,"cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})";
}

const Texts STANDARD{"1234", "ab", "cd", "rsa_sha256"};

struct Accepted {
  std::string json;
  Texts expected;
};

struct Rejected {
  std::string json;
  const char* why;
};

void expect_accepted(const Accepted& c) {
  auto result = parse(c.json);
  ASSERT_TRUE(result.has_value()) << testing::PrintToString(c.json) << " failed at "
                                  << result.error().offset;
  EXPECT_EQ(texts(*result), c.expected) << testing::PrintToString(c.json);
}

void expect_rejected(const Rejected& c) {
  EXPECT_FALSE(parse(c.json).has_value()) << c.why << ": " << testing::PrintToString(c.json);
}

TEST(ParseSignIn, AcceptsBothFormsWithAnyMemberOrderAndWhitespace) {
  const Accepted cases[] = {
      {R"({"pin":"1234","cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})", STANDARD},
      {R"({"mechanism":"rsa_sha256","data_hex":"cd","cert_der_hex":"ab","pin":"1234"})", STANDARD},
      {R"({"data_hex":"cd","pin":"1234","mechanism":"rsa_sha256","cert_der_hex":"ab"})", STANDARD},
      {" \t\r\n{ \t\r\n\"pin\" \t\r\n: \t\r\n\"1234\" \t\r\n, \"cert_der_hex\"\n:\n\"ab\"\r,"
       "\r\"data_hex\"\t:\t\"cd\"\n,\n\"mechanism\" : \"rsa_sha256\" \t\r\n} \t\r\n",
       STANDARD},
      {R"(["1234","ab","cd","rsa_sha256"])", STANDARD},
      {" \t\r\n[ \t\r\n\"1234\" \t\r\n, \t\r\n\"ab\"\n,\"cd\"\r,\t\"rsa_sha256\" \t\r\n] \t\r\n",
       STANDARD},
      {R"({"pin":"","cert_der_hex":"","data_hex":"","mechanism":""})", {"", "", "", ""}},
      {R"(["","","",""])", {"", "", "", ""}},
      {R"({"cert\u005fder_hex":"ab","p\u0069n":"1234","data_hex":"cd","\u006dechanism":"rsa_sha256"})",
       STANDARD},
  };
  for (const Accepted& c : cases) expect_accepted(c);
}

TEST(ParseSignIn, RejectsWrongShapes) {
  const Rejected cases[] = {
      {"", "empty input"},
      {" \t\r\n", "whitespace only"},
      {"\xEF\xBB\xBF[\"1234\",\"ab\",\"cd\",\"rsa_sha256\"]", "byte-order mark"},
      {"\f[\"1234\",\"ab\",\"cd\",\"rsa_sha256\"]", "form feed is not whitespace"},
      {"\v[\"1234\",\"ab\",\"cd\",\"rsa_sha256\"]", "vertical tab is not whitespace"},
      {"\xC2\xA0[\"1234\",\"ab\",\"cd\",\"rsa_sha256\"]", "U+00A0 is not whitespace"},
      {R"("1234")", "a string"},
      {"1234", "a number"},
      {"null", "null"},
      {"{}", "empty object"},
      {"{", "unterminated object"},
      {"[", "unterminated array"},
      {"[]", "empty array"},
      {R"({"pin":"1234","cert_der_hex":"ab","data_hex":"cd"})", "missing mechanism"},
      {R"({"cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})", "missing pin"},
      {R"({"pin":"1234","pin":"1234","cert_der_hex":"ab","data_hex":"cd","mechanism":"m"})",
       "pin twice with equal values"},
      {R"({"pin":"1","cert_der_hex":"ab","data_hex":"cd","mechanism":"m","data_hex":"cd"})",
       "data_hex twice"},
      {R"({"pin":"1","p\u0069n":"1","cert_der_hex":"ab","data_hex":"cd","mechanism":"m"})",
       "pin twice, once escaped"},
      {with_pin("null"), "pin is null"},
      {with_pin("1234"), "pin is a number"},
      {with_pin(R"(["1234"])"), "pin is an array"},
      {with_pin(R"({"a":"1234"})"), "pin is an object"},
      {with_pin("true"), "pin is true"},
      {R"({"PIN":"1234","cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})",
       "names are case-sensitive"},
      {R"({"pin":"1234","cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256",})",
       "comma before the closing brace"},
      {R"({,"pin":"1234","cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})",
       "comma before the first member"},
      {R"({"pin":"1234" "cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})",
       "missing comma"},
      {R"({"pin":"1234",,"cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})",
       "double comma"},
      {R"({"pin" "1234","cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})",
       "missing colon"},
      {R"({pin:"1234","cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})",
       "unquoted name"},
      {R"({"pin":"1234","cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"])",
       "object closed by a bracket"},
      {R"(["1234","ab","cd"])", "three elements"},
      {R"(["1234","ab","cd","rsa_sha256","x"])", "five elements"},
      {R"(["1234","ab","cd","rsa_sha256",])", "trailing comma"},
      {R"(["1234","ab",1,"rsa_sha256"])", "a number among the four"},
      {R"(["1234","ab",null,"rsa_sha256"])", "null among the four"},
      {R"(["1234" "ab","cd","rsa_sha256"])", "missing comma in the array"},
      {R"(["1234","ab","cd","rsa_sha256"})", "array closed by a brace"},
      {R"(["1234","ab","cd","rsa_sha256")", "unterminated array of four"},
      {R"(["1234","ab","cd","rsa_sha256"][])", "two documents"},
      {R"(["1234","ab","cd","rsa_sha256"]])", "stray bracket"},
      {R"(["1234","ab","cd","rsa_sha256"],)", "trailing comma after the document"},
      {std::string(R"(["1234","ab","cd","rsa_sha256"])") + '\0', "trailing NUL byte"},
      {R"(["1234","ab","cd","rsa_sha256"] x)", "trailing garbage after whitespace"},
  };
  for (const Rejected& c : cases) expect_rejected(c);
}

TEST(ParseSignIn, DecodesEscapesInKeptStrings) {
  const std::string tab(1, '\t');
  const Accepted cases[] = {
      {with_pin(R"("\"\\\/")"), {"\"\\/", "ab", "cd", "rsa_sha256"}},
      {with_pin(R"("\b\f\n\r\t")"), {"\b\f\n\r\t", "ab", "cd", "rsa_sha256"}},
      {with_pin(R"("a\u0000b")"), {std::string("a\0b", 3), "ab", "cd", "rsa_sha256"}},
      {with_pin(R"("\u00e9\u20AC\u0041")"),
       {"\xC3\xA9\xE2\x82\xAC"
        "A",
        "ab", "cd", "rsa_sha256"}},
      {with_pin(R"("\u07ff\u0800\uFFFF")"),
       {"\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", "ab", "cd", "rsa_sha256"}},
      {with_pin(R"("\ud83d\ude00")"), {"\xF0\x9F\x98\x80", "ab", "cd", "rsa_sha256"}},
      {with_pin(R"("\uD800\uDC00\uDBFF\uDFFF")"),
       {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "ab", "cd", "rsa_sha256"}},
      {with_pin("\"\xC3\xA9\xF0\x9F\x98\x80\x7F\""),
       {"\xC3\xA9\xF0\x9F\x98\x80\x7F", "ab", "cd", "rsa_sha256"}},
      {R"(["\t","\u0061b","c\u0064","\u0072sa_sha256"])", {tab, "ab", "cd", "rsa_sha256"}},
  };
  for (const Accepted& c : cases) expect_accepted(c);
}

TEST(ParseSignIn, RejectsBadKeptStrings) {
  const Rejected cases[] = {
      {with_pin("\"a\tb\""), "raw tab"},
      {with_pin("\"a\nb\""), "raw line feed"},
      {with_pin(std::string("\"a\0b\"", 5)), "raw NUL"},
      {with_pin("\"a\x1F\""), "raw 0x1F"},
      {with_pin(R"("\x")"), "unknown escape"},
      {with_pin(R"("\U0041")"), "upper-case u"},
      {with_pin(R"("\')"), "escaped apostrophe"},
      {with_pin(R"("\u12")"), "short unicode escape"},
      {with_pin(R"("\u12g4")"), "non-hex digit"},
      {with_pin(R"("\ud83d")"), "lone high surrogate"},
      {with_pin(R"("\ude00")"), "lone low surrogate"},
      {with_pin(R"("\ud83d\u0041")"), "high surrogate and a letter"},
      {with_pin(R"("\ud83d\ud83d")"), "two high surrogates"},
      {with_pin(R"("\ud83dx\ude00")"), "something between the halves"},
      {with_pin(R"("\ud83d\n")"), "high surrogate then another escape"},
      {with_pin("\"\xFF\""), "invalid byte"},
      {with_pin("\"\xC3\""), "truncated sequence"},
      {with_pin("\"\xED\xA0\x80\""), "raw surrogate"},
      {with_pin("\"\xC0\xAF\""), "overlong"},
      {with_pin("\"\\u00e9\xA9\""), "raw continuation after an escape"},
      {with_pin("\"\xC3\\u0041\""), "raw lead before an escape"},
      {R"(["1234","ab","cd","rsa_sha256)", "unterminated string"},
      {R"(["1234","ab","cd","rsa_sha256\)", "input ends after a backslash"},
      {R"(["1234","ab","cd","\u00)", "input ends inside a unicode escape"},
      {"[\"1234\",\"ab\",\"cd\",\"\xF0\x9F\x98", "input ends inside a sequence"},
      {"{\"\xFF\":1,\"pin\":\"1\",\"cert_der_hex\":\"\",\"data_hex\":\"\",\"mechanism\":\"\"}",
       "invalid UTF-8 in an extra member's name"},
      {R"({"\ud800":1,"pin":"1","cert_der_hex":"","data_hex":"","mechanism":""})",
       "lone surrogate in an extra member's name"},
  };
  for (const Rejected& c : cases) expect_rejected(c);
}

// The scan for special bytes may go a word at a time; put each special byte
// at every offset around word boundaries so a faulty fast path shows.
TEST(ParseSignIn, FindsSpecialBytesAtEveryOffset) {
  for (std::size_t offset = 0; offset < 40; ++offset) {
    const std::string lead(offset, 'a');
    const Texts escaped{lead + "\"" + lead, "ab", "cd", "rsa_sha256"};
    expect_accepted({with_pin("\"" + lead + "\\\"" + lead + "\""), escaped});
    const Texts accented{lead + "\xC3\xA9" + lead, "ab", "cd", "rsa_sha256"};
    expect_accepted({with_pin("\"" + lead + "\xC3\xA9" + lead + "\""), accented});
    expect_accepted({with_pin("\"" + lead + "\""), {lead, "ab", "cd", "rsa_sha256"}});
    expect_rejected({with_pin("\"" + lead + "\x01" + lead + "\""), "control byte"});
    expect_rejected({with_pin("\"" + lead + "\x80" + lead + "\""), "invalid byte"});
    expect_rejected({with_pin("\"" + lead), "unterminated"});
    expect_accepted({with_extra("\"" + lead + "\x80\\\"" + lead + "\""), STANDARD});
    expect_rejected({with_extra("\"" + lead + "\x1F" + lead + "\""), "control byte"});
    // The bytes just past the special ranges are plain.
    expect_accepted({with_pin("\"" + lead + " \x7F" + lead + "\""),
                     {lead + " \x7F" + lead, "ab", "cd", "rsa_sha256"}});
    expect_accepted({with_extra("\"" + lead + "\xFF\x80 " + lead + "\""), STANDARD});
  }
}

// Escaped strings share one decoding buffer; long ones force it to grow
// while earlier strings have been stored.
TEST(ParseSignIn, KeepsLongEscapedStringsApart) {
  std::string pin, cert;
  std::string pin_json, cert_json;
  for (int i = 0; i < 3000; ++i) {
    pin += "p\n";
    pin_json += "p\\n";
    cert += "c/";
    cert_json += "c\\/";
  }
  expect_accepted({R"({"pin":")" + pin_json + R"(","cert_der_hex":")" + cert_json +
                       R"(","data_hex":"\u0041","mechanism":"m"})",
                   {pin, cert, "A", "m"}});
}

TEST(ParseSignIn, SkipsExtraMembersOfEveryType) {
  const std::string accepted[] = {
      "0",
      "-0",
      "1.5E+3",
      "1e400",
      "-1.0e-5",
      "0.0",
      "123456789012345678901234567890",
      "2E5",
      "true",
      "false",
      "null",
      R"("")",
      R"("x")",
      "\"\xFF\xC0\xAF\"",  // not UTF-8: skipped
      R"("\ud800")",
      R"("\udc00\ud800")",  // surrogates are not paired when skipping
      R"("\"\\\/\b\f\n\r\t\u12aB")",
      "[]",
      "{}",
      "[ ]",
      "{ \t}",
      "[[]]",
      R"({"a":{}})",
      R"([1,[2,[3]],{"b":null}])",
      " [ 1 , 2 ] ",
      R"({ "a" : 1 , "b" : [ true , "c" ] })",
      R"({"a":1,"a":2})",
      "[\"\xFF\",{\"\xFE\":\"\xFD\"}]",
  };
  for (const std::string& extra : accepted) expect_accepted({with_extra(extra), STANDARD});

  // Extra names may repeat.
  expect_accepted({R"({"x":1,"x":[],"pin":"1234","cert_der_hex":"ab","data_hex":"cd",)"
                   R"("mechanism":"rsa_sha256","x":{}})",
                   STANDARD});
}

TEST(ParseSignIn, RejectsMalformedSkippedValues) {
  const std::string rejected[] = {
      "01",        "1.",         ".5",      "+1",        "1e",          "1e+",       "-",
      "-a",        "--1",        "1.e3",    "0x1",       "00",          "-01",       "NaN",
      "True",      "nul",        "nulll",   "fals",      "Infinity",    "-Infinity", "'a'",
      "",          "\"\t\"",     "\"\\x\"", "\"\\u12\"", "\"\\u12G4\"", "[1,]",      "[,1]",
      "[1 2]",     "{\"a\":1,}", "{,}",     "{\"a\"}",   "{\"a\" 1}",   "{a:1}",     "{1:1}",
      "{\"a\":1]", "[}",         "[1}",     "{\"a\":}",  "[[]",         "[[",        "{\"a\":[}",
      "[1]]",
  };
  for (const std::string& extra : rejected) {
    expect_rejected({with_extra(extra), "skipped value"});
  }
}

TEST(ParseSignIn, FailsWhenTheInputEndsInsideASkippedValue) {
  const std::string prefix = R"({"pin":"1234","x":)";
  const std::string cuts[] = {"",        "t", "tru", "-",   "1.", "1e",     "\"ab",    "\"\\",
                              "\"\\u00", "[", "[1",  "[1,", "{",  "{\"a\"", "{\"a\":", "{\"a\":1"};
  for (const std::string& cut : cuts) expect_rejected({prefix + cut, "cut short"});
}

TEST(ParseSignIn, SkipsDeeplyNestedValues) {
  for (std::size_t depth : {1000u, 100000u}) {
    std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    expect_accepted({with_extra(arrays), STANDARD});
    std::string objects;
    for (std::size_t i = 0; i < depth; ++i) objects += "{\"a\":";
    objects += "0";
    objects += std::string(depth, '}');
    expect_accepted({with_extra(objects), STANDARD});
    std::string mixed;
    for (std::size_t i = 0; i < depth; ++i) mixed += "[{\"k\":";
    for (std::size_t i = 0; i < depth; ++i) mixed += "}]";
    expect_rejected({with_extra(mixed), "no value before the close"});
    mixed.insert(mixed.size() - 2 * depth, "1");
    expect_accepted({with_extra(mixed), STANDARD});
    expect_rejected({with_extra(std::string(depth, '[') + std::string(depth - 1, ']')),
                     "one bracket left open"});
    expect_rejected({with_extra(std::string(depth, '[') + std::string(depth - 1, ']') + "}"),
                     "wrong kind of bracket at the bottom"});
  }
}

// Ten million open arrays: a recursive skipper would overflow the stack,
// under AddressSanitizer as well as without it.
TEST(ParseSignIn, SkipsAValueNestedTenMillionLevelsDeep) {
  constexpr std::size_t DEPTH = 10'000'000;
  std::string json = R"({"pin":"1234","x":)";
  json.reserve(json.size() + 2 * DEPTH + 100);
  json.append(DEPTH, '[');
  json.append(DEPTH, ']');
  json += R"(,"cert_der_hex":"ab","data_hex":"cd","mechanism":"rsa_sha256"})";
  expect_accepted({json, STANDARD});
}

}  // namespace
}  // namespace mirandel::codec

namespace mirandel::codec {
namespace {

// The views point into the request for strings without escapes (nothing is
// copied) and into the scratch buffer for strings with escapes.
TEST(ParseSignInView, PointsIntoTheInputUnlessAStringHeldEscapes) {
  const std::string json =
      R"({"pin":"1\u00322","cert_der_hex":"ab","data_hex":"cdef","mechanism":"m"})";
  SecretBytes scratch;
  auto view = parse_sign_in_view(
      std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()), scratch);
  ASSERT_TRUE(view.has_value());
  EXPECT_EQ(view->pin, "122");
  EXPECT_GE(view->pin.data(), reinterpret_cast<const char*>(scratch.data()));
  EXPECT_LT(view->pin.data(), reinterpret_cast<const char*>(scratch.data() + scratch.size()));
  EXPECT_EQ(view->data_hex.data(), json.data() + json.find("cdef"));
  EXPECT_EQ(view->cert_der_hex.data(), json.data() + json.find("ab\""));
  EXPECT_EQ(view->mechanism, "m");
}

}  // namespace
}  // namespace mirandel::codec
