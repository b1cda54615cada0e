// The request checks: what is unreadable, what is invalid, which mechanism
// names are accepted, and in which order the checks are judged.
#include "signing/request.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "documents.hpp"
#include "param_name.hpp"
#include "test_files.hpp"

namespace mirandel {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string request_json(std::string_view cert, std::string_view data, std::string_view mechanism) {
  return R"({"pin":"1234","cert_der_hex":")" + std::string(cert) + R"(","data_hex":")" +
         std::string(data) + R"(","mechanism":")" + std::string(mechanism) + R"("})";
}

constexpr std::string_view UNREADABLE = "Input di firma non leggibile.";
constexpr std::string_view INVALID = "Input di firma non valido.";

struct RefusedCase {
  const char* name;
  std::string input;
  std::string message;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class CheckSignRequestRefuses : public testing::TestWithParam<RefusedCase> {};

TEST_P(CheckSignRequestRefuses, WithTheExactMessage) {
  const RefusedCase& c = GetParam();
  auto result = check_sign_request(as_bytes(c.input));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CheckSignRequestRefuses,
    testing::Values(
        RefusedCase{"EmptyInput", "", std::string(UNREADABLE)},
        RefusedCase{"WhitespaceOnly", " \t\r\n ", std::string(UNREADABLE)},
        RefusedCase{"ByteOrderMark", "\xEF\xBB\xBF" + request_json("00", "00", "rsa_sha256"),
                    std::string(UNREADABLE)},
        RefusedCase{"PinAsNumber",
                    R"({"pin":1234,"cert_der_hex":"00","data_hex":"00","mechanism":"rsa_sha256"})",
                    std::string(UNREADABLE)},
        // Unreadable wins even when the hex and mechanism would also fail.
        RefusedCase{"PinAsNumberWithBadHex",
                    R"({"pin":1,"cert_der_hex":"zz","data_hex":"0","mechanism":"x"})",
                    std::string(UNREADABLE)},
        RefusedCase{"CertOddLength", request_json("abc", "00", "rsa_sha256"), std::string(INVALID)},
        RefusedCase{"CertWithSpace", request_json("00 01", "00", "rsa_sha256"),
                    std::string(INVALID)},
        RefusedCase{"CertWithPrefix", request_json("0x00", "00", "rsa_sha256"),
                    std::string(INVALID)},
        RefusedCase{"DataNotHex", request_json("00", "zz", "rsa_sha256"), std::string(INVALID)},
        RefusedCase{"BothNotHex", request_json("g0", "0g", "rsa_sha256"), std::string(INVALID)},
        // Decoding is judged before the mechanism.
        RefusedCase{"BadCertAndBadMechanism", request_json("0", "00", "md5"), std::string(INVALID)},
        RefusedCase{"BadDataAndBadMechanism", request_json("00", "0", "md5"), std::string(INVALID)},
        RefusedCase{"MechanismInCapitals", request_json("00", "00", "RSA_SHA256"),
                    "Meccanismo non supportato: RSA_SHA256"},
        RefusedCase{"MechanismWithTrailingSpace", request_json("00", "00", "rsa_sha384 "),
                    "Meccanismo non supportato: rsa_sha384 "},
        RefusedCase{"MechanismWithLeadingSpace", request_json("00", "00", " rsa_sha512"),
                    "Meccanismo non supportato:  rsa_sha512"},
        RefusedCase{"MechanismPrefixOfAName", request_json("00", "00", "rsa_sha"),
                    "Meccanismo non supportato: rsa_sha"},
        RefusedCase{"EmptyMechanism", request_json("00", "00", ""), "Meccanismo non supportato: "},
        // Escapes in the request are decoded; the message carries the text.
        RefusedCase{"MechanismWithEscapes", request_json("00", "00", R"(a\"b\\c\u00e8)"),
                    "Meccanismo non supportato: a\"b\\c\xC3\xA8"}),
    test::by_name);

struct AcceptedCase {
  const char* name;
  std::string input;
  std::string pin;
  Bytes certificate;
  Bytes data;
  ck::CK_MECHANISM_TYPE mechanism;
};

void PrintTo(const AcceptedCase& c, std::ostream* os) { *os << c.name; }

class CheckSignRequestAccepts : public testing::TestWithParam<AcceptedCase> {};

TEST_P(CheckSignRequestAccepts, AndDecodesEveryField) {
  const AcceptedCase& c = GetParam();
  auto result = check_sign_request(as_bytes(c.input));
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(result->pin.view(), c.pin);
  EXPECT_EQ(result->certificate, c.certificate);
  EXPECT_EQ(Bytes(result->data.bytes().begin(), result->data.bytes().end()), c.data);
  EXPECT_EQ(result->mechanism.hashing, c.mechanism);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CheckSignRequestAccepts,
    testing::Values(
        AcceptedCase{"Sha256",
                     request_json("3082", "68656c6c6f", "rsa_sha256"),
                     "1234",
                     {0x30, 0x82},
                     {'h', 'e', 'l', 'l', 'o'},
                     0x40},
        AcceptedCase{
            "Sha384", request_json("00", "ff", "rsa_sha384"), "1234", {0x00}, {0xff}, 0x41},
        AcceptedCase{
            "Sha512", request_json("00", "ff", "rsa_sha512"), "1234", {0x00}, {0xff}, 0x42},
        AcceptedCase{"UpperAndMixedCaseHex",
                     request_json("ABcd", "aB", "rsa_sha256"),
                     "1234",
                     {0xab, 0xcd},
                     {0xab},
                     0x40},
        AcceptedCase{
            "EmptyCertificateAndData", request_json("", "", "rsa_sha256"), "1234", {}, {}, 0x40},
        // The data is decoded in place over its hex; written with escapes it
        // is decoded from the reader's scratch buffer instead.
        AcceptedCase{"DataWithEscapes",
                     request_json("00", R"(0\u0061\u0046f)", "rsa_sha256"),
                     "1234",
                     {0x00},
                     {0x0a, 0xff},
                     0x40},
        AcceptedCase{
            "DataBeforeEverythingElse",
            R"({"data_hex":"0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f20)"
            R"(2122","pin":"p","cert_der_hex":"","mechanism":"rsa_sha256"})",
            "p",
            {},
            {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17,
             18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34},
            0x40},
        AcceptedCase{
            "ArrayForm", R"([" pin ","01","02","rsa_sha512"])", " pin ", {0x01}, {0x02}, 0x42},
        AcceptedCase{"ExtraMemberIgnored",
                     R"({"comment":42,"mechanism":"rsa_sha256","data_hex":"","cert_der_hex":"",)"
                     R"("pin":""})",
                     "",
                     {},
                     {},
                     0x40},
        // The PIN is taken as its UTF-8 bytes, untrimmed, NUL included.
        AcceptedCase{
            "PinKeptExactly",
            R"({"pin":" \u00e8\u0000 ","cert_der_hex":"","data_hex":"","mechanism":"rsa_sha256"})",
            std::string(" \xC3\xA8\0 ", 5),
            {},
            {},
            0x40}),
    test::by_name);

TEST(CheckSignRequest, UnsupportedMechanismMessageSerialisesEscaped) {
  auto result = check_sign_request(as_bytes(request_json("00", "00", R"(rsa\"x\\y)")));
  ASSERT_FALSE(result.has_value());
  SignatureDocument document{std::nullopt, result.error()};
  EXPECT_EQ(serialize(document),
            R"({"signature":null,"error":"Meccanismo non supportato: rsa\"x\\y"})");
}

/// Request files in the test's own temporary directory.
class ReadSignRequest : public testing::Test {
 protected:
  std::filesystem::path write(const std::string& name, std::string_view content) {
    std::filesystem::path path = dir_.path() / name;
    std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size()));
    return path;
  }

  static platform::Argument argument(const std::filesystem::path& path) {
    return platform::argument_from_utf8(path.string());
  }

  test::TempDir dir_{"mirandel-request-test-"};
};

TEST_F(ReadSignRequest, ReadsAWholeFile) {
  auto result =
      read_sign_request(argument(write("req.json", request_json("0a", "0b", "rsa_sha384"))));
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(result->certificate, Bytes{0x0a});
  EXPECT_EQ(result->data.view(), "\x0b");
  EXPECT_EQ(result->mechanism.hashing, 0x41u);
}

TEST_F(ReadSignRequest, ReachesAFileNamedDashThroughItsDirectory) {
  auto result = read_sign_request(argument(write("-", request_json("", "", "rsa_sha256"))));
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(result->mechanism.hashing, 0x40u);
}

TEST_F(ReadSignRequest, ChecksTheContentOfTheFile) {
  auto result = read_sign_request(argument(write("bad.json", request_json("0", "", "rsa_sha256"))));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), INVALID);
}

TEST_F(ReadSignRequest, FindsAnEmptyFileUnreadable) {
  auto result = read_sign_request(argument(write("empty.json", "")));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), UNREADABLE);
}

TEST_F(ReadSignRequest, FindsAMissingFileUnreadable) {
  auto result = read_sign_request(argument(dir_.path() / "missing.json"));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), UNREADABLE);
}

TEST_F(ReadSignRequest, FindsADirectoryUnreadable) {
  auto result = read_sign_request(argument(dir_.path()));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), UNREADABLE);
}

TEST(ReadSignRequestPath, FindsTheEmptyPathUnreadable) {
  auto result = read_sign_request(platform::argument_from_utf8(""));
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), UNREADABLE);
}

}  // namespace
}  // namespace mirandel
