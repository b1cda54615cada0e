// The DER form of an ECDSA r ‖ s, case by case.
#include "signing/ecdsa_signature.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

#include "codec/hex.hpp"
#include "param_name.hpp"

namespace mirandel {
namespace {

std::string repeat(std::string_view hex, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += hex;
  return out;
}

struct DerCase {
  const char* name;
  std::string r_and_s;             ///< hex
  std::optional<std::string> der;  ///< hex; nullopt: refused
};

void PrintTo(const DerCase& c, std::ostream* os) { *os << c.name; }

class EcdsaDerSignature : public testing::TestWithParam<DerCase> {};

TEST_P(EcdsaDerSignature, EncodesMinimalIntegersInASequence) {
  const auto input = codec::hex_decode(GetParam().r_and_s);
  ASSERT_TRUE(input.has_value());
  const auto der = ecdsa_der_signature(*input);
  if (!GetParam().der) {
    EXPECT_FALSE(der.has_value());
    return;
  }
  ASSERT_TRUE(der.has_value());
  EXPECT_EQ(codec::hex_encode(*der), *GetParam().der);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EcdsaDerSignature,
    testing::Values(DerCase{"P256Plain", repeat("11", 32) + repeat("22", 32),
                            "3044"
                            "0220" +
                                repeat("11", 32) + "0220" + repeat("22", 32)},
                    DerCase{"HighBitsGetALeadingZero", repeat("80", 32) + "ff" + repeat("00", 31),
                            "3046"
                            "022100" +
                                repeat("80", 32) + "022100ff" + repeat("00", 31)},
                    DerCase{"LeadingZerosAreDropped",
                            "0000" + repeat("7f", 30) + "00" + repeat("01", 31),
                            "3041"
                            "021e" +
                                repeat("7f", 30) + "021f" + repeat("01", 31)},
                    // A zero byte before a high bit is the minimal form, and stays.
                    DerCase{"ZeroBeforeAHighBitStays", "00800080",
                            "3008"
                            "02020080"
                            "02020080"},
                    DerCase{"ZeroHalvesAreOneZeroByte", "0000",
                            "3006"
                            "020100"
                            "020100"},
                    DerCase{"P521UsesTheLongLengthForm",
                            "01" + repeat("ff", 65) + "00" + repeat("ff", 65),
                            "308188"
                            "0242"
                            "01" +
                                repeat("ff", 65) + "024200" + repeat("ff", 65)},
                    DerCase{"TwoLengthBytes", repeat("ff", 400),
                            "30820198"
                            "0281c900" +
                                repeat("ff", 200) + "0281c900" + repeat("ff", 200)},
                    DerCase{"OddLengthIsRefused", repeat("11", 65), std::nullopt},
                    DerCase{"EmptyIsRefused", "", std::nullopt}),
    test::by_name);

}  // namespace
}  // namespace mirandel
