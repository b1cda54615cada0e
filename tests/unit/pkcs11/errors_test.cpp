#include "pkcs11/errors.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace mirandel::pkcs11 {
namespace {

std::string text_of_rv(ck::CK_RV rv) {
  std::expected<void, ReturnValue> classified = classify_return_value(rv);
  return classified ? std::string("success") : return_value_text(classified.error());
}

TEST(ReturnValueText, RendersGapsVendorValuesAndIrregularEntries) {
  struct Case {
    ck::CK_RV rv;
    std::string text;
  };
  const Case cases[] = {
      {0x0, "success"},
      {0x4, "Unknown error code: 0x4"},
      {0xB, "Unknown error code: 0xb"},
      {0x61, "Unknown error code: 0x61"},
      {0x111, "Unknown error code: 0x111"},
      {0x201, "Unknown error code: 0x201"},
      {0x202, "Unknown error code: 0x202"},
      {0x7FFFFFFF, "Unknown error code: 0x7fffffff"},
      {0x80000000, "CKR_VENDOR_DEFINED(0x80000000)"},
      {0x80000001, "CKR_VENDOR_DEFINED(0x80000001)"},
      {0xFFFFFFFF, "CKR_VENDOR_DEFINED(0xffffffff)"},
      {0x1B0, "CKR_NEW_PIN_MODE"},
      {0x1B1, "CKR_NEXT_OTP"},
      {0x32, "The token was removed from its slot during the execution of the function."},
      {0x1B,
       " This value can only be returned by C_CopyObject, C_SetAttributeValue and "
       "C_DestroyObject. It denotes that the action may not be taken, either because of "
       "underlying policy restrictions on the token, or because the object has the the "
       "relevant CKA_COPYABLE, CKA_MODIFIABLE or CKA_DESTROYABLE policy attribute set to "
       "CK_FALSE."},
      {0x140, " This curve is not supported by this token.  Used with Elliptic Curve mechanisms."},
  };
  for (const Case& c : cases) EXPECT_EQ(text_of_rv(c.rv), c.text) << std::hex << c.rv;
  if constexpr (sizeof(ck::CK_RV) > 4) {
    EXPECT_EQ(text_of_rv(static_cast<ck::CK_RV>(0x100000001)), "CKR_VENDOR_DEFINED(0x100000001)");
  }
}

TEST(ReturnValueText, KeepsTypographicQuotes) {
  EXPECT_NE(std::string(standard_description(0xA4)).find("\u201Clocked\u201D"), std::string::npos);
}

TEST(ErrorText, RendersEveryKind) {
  struct Case {
    BindingError error;
    std::string text;
  };
  const Case cases[] = {
      {LoaderFailed{LoadFailed{126}}, "libloading error (LoadLibraryExW failed)"},
      {LoaderFailed{LoadFailedUnreported{}},
       "libloading error (LoadLibraryExW failed, but system did not report the error)"},
      {CallFailed{Function::Login, {ReturnValue::Kind::Standard, 0x1B0}},
       "Function::Login: PKCS11 error: CKR_NEW_PIN_MODE"},
      {CallFailed{Function::SignInit, {ReturnValue::Kind::Standard, 0x140}},
       "Function::SignInit: PKCS11 error:  This curve is not supported by this token.  Used with "
       "Elliptic Curve mechanisms."},
      {CallFailed{Function::Sign, {ReturnValue::Kind::VendorDefined, 0x80000001}},
       "Function::Sign: PKCS11 error: CKR_VENDOR_DEFINED(0x80000001)"},
      {MissingEntryPoint{"C_GetFunctionList"}, "Missing PKCS#11 symbol: C_GetFunctionList"},
      {NullEntryPoint{}, "Calling a NULL function pointer"},
      {LengthOutOfRange{},
       "Conversion between integers failed (out of range integral type conversion attempted)"},
      {InvalidResponse{Function::FindObjects, "more handles than asked for"},
       "Function::FindObjects: invalid response from the PKCS#11 module (more handles than asked "
       "for)"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_text(c.error), c.text);
}

TEST(CheckCall, WrapsTheClassifiedValueWithItsFunction) {
  EXPECT_TRUE(check_call(ck::CKR_OK, Function::Login).has_value());
  Result<void> failed = check_call(0xA0, Function::Login);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error(),
            BindingError(CallFailed{Function::Login, {ReturnValue::Kind::Standard, 0xA0}}));
  EXPECT_EQ(error_text(failed.error()),
            "Function::Login: PKCS11 error: The specified PIN is incorrect, i.e., does not match "
            "the PIN stored on the token.  More generally-- when authentication to the token "
            "involves something other than a PIN-- the attempt to authenticate the user has "
            "failed.");
}

TEST(ToCkUlong, RefusesCountsAbove32BitsForTheWindowsWidth) {
  EXPECT_EQ(to_ck_ulong<std::uint32_t>(0xFFFFFFFFu), std::uint32_t{0xFFFFFFFF});
  if constexpr (sizeof(std::size_t) > 4) {
    std::expected<std::uint32_t, BindingError> too_long =
        to_ck_ulong<std::uint32_t>(static_cast<std::size_t>(0x100000000ull));
    ASSERT_FALSE(too_long.has_value());
    EXPECT_EQ(too_long.error(), BindingError(LengthOutOfRange{}));
  }
}

// The reference table of return values lives beside the repository, in the
// shared reference folder; a copy is kept in the tests so that a bare clone
// can still check the code against it, and the copy is held to the original
// wherever both are present.
constexpr const char* REFERENCE_TSV = MIRANDEL_SOURCE_DIR "/../shared/reference/return-values.tsv";
constexpr const char* COPIED_TSV = MIRANDEL_SOURCE_DIR "/tests/unit/pkcs11/data/return-values.tsv";

std::string file_contents(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(StandardReturnValues, CopyInTheTestsEqualsTheReference) {
  if (!std::ifstream(REFERENCE_TSV).is_open())
    GTEST_SKIP() << "no shared reference folder beside this checkout";
  const std::string copy = file_contents(COPIED_TSV);
  ASSERT_FALSE(copy.empty()) << COPIED_TSV;
  EXPECT_TRUE(copy == file_contents(REFERENCE_TSV))
      << "tests/unit/pkcs11/data/return-values.tsv differs from the shared reference";
}

// The table in the code and the reference TSV must agree entry for entry, in
// both directions, so that neither can drift from the other.
TEST(StandardReturnValues, MatchTheReferenceTableBothWays) {
  std::ifstream tsv(REFERENCE_TSV, std::ios::binary);
  if (!tsv.is_open()) tsv.open(COPIED_TSV, std::ios::binary);
  ASSERT_TRUE(tsv.is_open()) << "return-values.tsv not found";
  std::string line;
  ASSERT_TRUE(std::getline(tsv, line));
  EXPECT_EQ(line, "value\tname\tdescription");
  std::map<ck::CK_RV, std::pair<std::string, std::string>> reference;
  while (std::getline(tsv, line)) {
    if (line.empty()) continue;
    const std::size_t tab1 = line.find('\t');
    const std::size_t tab2 = line.find('\t', tab1 + 1);
    ASSERT_NE(tab2, std::string::npos) << line;
    const ck::CK_RV value = std::stoul(line.substr(0, tab1), nullptr, 16);
    reference[value] = {line.substr(tab1 + 1, tab2 - tab1 - 1), line.substr(tab2 + 1)};
  }
  ASSERT_EQ(reference.size(), 93u);

  std::span<const StandardReturnValueEntry> table = standard_return_values();
  ASSERT_EQ(table.size(), reference.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (i > 0) {
      EXPECT_LT(table[i - 1].value, table[i].value) << "table not ascending at " << i;
    }
    auto found = reference.find(table[i].value);
    ASSERT_NE(found, reference.end()) << table[i].name << " is not in the TSV";
    EXPECT_EQ(table[i].name, found->second.first);
    EXPECT_EQ(table[i].description, found->second.second) << table[i].name;
  }
  for (const auto& [value, entry] : reference) {
    EXPECT_EQ(standard_description(value), entry.second) << entry.first;
    std::expected<void, ReturnValue> classified = classify_return_value(value);
    ASSERT_FALSE(classified.has_value());
    EXPECT_EQ(classified.error(), (ReturnValue{ReturnValue::Kind::Standard, value})) << entry.first;
  }
}

}  // namespace
}  // namespace mirandel::pkcs11
