// The Windows PKCS#11 ABI as the program declares it: 1-byte packing and a
// 32-bit CK_ULONG, checked against Debian's p11-kit header when it is there.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/errors.hpp"

#if __has_include(<p11-kit/pkcs11.h>)
#define CRYPTOKI_GNU 1
#include <p11-kit/pkcs11.h>
#define MIRANDEL_HAVE_P11_KIT_HEADER 1
#endif

namespace mirandel {
namespace {

#if defined(MIRANDEL_HAVE_P11_KIT_HEADER)
// Every field the program reads or fills sits where the independent header
// puts it.
static_assert(sizeof(ck::CK_SLOT_INFO) == sizeof(struct ck_slot_info));
static_assert(offsetof(ck::CK_SLOT_INFO, manufacturerID) ==
              offsetof(struct ck_slot_info, manufacturer_id));
static_assert(offsetof(ck::CK_SLOT_INFO, flags) == offsetof(struct ck_slot_info, flags));
static_assert(offsetof(ck::CK_SLOT_INFO, hardwareVersion) ==
              offsetof(struct ck_slot_info, hardware_version));
static_assert(offsetof(ck::CK_SLOT_INFO, firmwareVersion) ==
              offsetof(struct ck_slot_info, firmware_version));
static_assert(sizeof(ck::CK_TOKEN_INFO) == sizeof(struct ck_token_info));
#define MIRANDEL_SAME_TOKEN_FIELD(ours, theirs) \
  static_assert(offsetof(ck::CK_TOKEN_INFO, ours) == offsetof(struct ck_token_info, theirs))
MIRANDEL_SAME_TOKEN_FIELD(manufacturerID, manufacturer_id);
MIRANDEL_SAME_TOKEN_FIELD(model, model);
MIRANDEL_SAME_TOKEN_FIELD(serialNumber, serial_number);
MIRANDEL_SAME_TOKEN_FIELD(flags, flags);
MIRANDEL_SAME_TOKEN_FIELD(ulMaxSessionCount, max_session_count);
MIRANDEL_SAME_TOKEN_FIELD(ulSessionCount, session_count);
MIRANDEL_SAME_TOKEN_FIELD(ulMaxRwSessionCount, max_rw_session_count);
MIRANDEL_SAME_TOKEN_FIELD(ulRwSessionCount, rw_session_count);
MIRANDEL_SAME_TOKEN_FIELD(ulMaxPinLen, max_pin_len);
MIRANDEL_SAME_TOKEN_FIELD(ulMinPinLen, min_pin_len);
MIRANDEL_SAME_TOKEN_FIELD(ulTotalPublicMemory, total_public_memory);
MIRANDEL_SAME_TOKEN_FIELD(ulFreePublicMemory, free_public_memory);
MIRANDEL_SAME_TOKEN_FIELD(ulTotalPrivateMemory, total_private_memory);
MIRANDEL_SAME_TOKEN_FIELD(ulFreePrivateMemory, free_private_memory);
MIRANDEL_SAME_TOKEN_FIELD(hardwareVersion, hardware_version);
MIRANDEL_SAME_TOKEN_FIELD(firmwareVersion, firmware_version);
MIRANDEL_SAME_TOKEN_FIELD(utcTime, utc_time);
#undef MIRANDEL_SAME_TOKEN_FIELD
static_assert(sizeof(ck::CK_ATTRIBUTE) == sizeof(struct ck_attribute));
static_assert(offsetof(ck::CK_ATTRIBUTE, pValue) == offsetof(struct ck_attribute, value));
static_assert(offsetof(ck::CK_ATTRIBUTE, ulValueLen) == offsetof(struct ck_attribute, value_len));
static_assert(sizeof(ck::CK_MECHANISM) == sizeof(struct ck_mechanism));
static_assert(offsetof(ck::CK_MECHANISM, pParameter) == offsetof(struct ck_mechanism, parameter));
static_assert(offsetof(ck::CK_MECHANISM, ulParameterLen) ==
              offsetof(struct ck_mechanism, parameter_len));
static_assert(sizeof(ck::CK_RSA_PKCS_PSS_PARAMS) == sizeof(struct ck_rsa_pkcs_pss_params));
static_assert(offsetof(ck::CK_RSA_PKCS_PSS_PARAMS, sLen) ==
              offsetof(struct ck_rsa_pkcs_pss_params, s_len));
static_assert(sizeof(ck::CK_C_INITIALIZE_ARGS) == sizeof(struct ck_c_initialize_args));
static_assert(offsetof(ck::CK_C_INITIALIZE_ARGS, flags) ==
              offsetof(struct ck_c_initialize_args, flags));
static_assert(offsetof(ck::CK_C_INITIALIZE_ARGS, pReserved) ==
              offsetof(struct ck_c_initialize_args, reserved));

/// Where the 2.40 list keeps `function`, by our indexing.
constexpr std::size_t entry_offset(pkcs11::Function function) {
  return ck::FUNCTION_LIST_ENTRIES_OFFSET + pkcs11::index_of(function) * sizeof(void*);
}
// The function list is read by index behind a packed 2-byte version.
#define MIRANDEL_SAME_ENTRY(name) \
  static_assert(entry_offset(pkcs11::Function::name) == offsetof(struct ck_function_list, C_##name))
MIRANDEL_SAME_ENTRY(Initialize);
MIRANDEL_SAME_ENTRY(GetSlotList);
MIRANDEL_SAME_ENTRY(OpenSession);
MIRANDEL_SAME_ENTRY(Login);
MIRANDEL_SAME_ENTRY(GetAttributeValue);
MIRANDEL_SAME_ENTRY(FindObjectsFinal);
MIRANDEL_SAME_ENTRY(SignInit);
MIRANDEL_SAME_ENTRY(Sign);
MIRANDEL_SAME_ENTRY(WaitForSlotEvent);
#undef MIRANDEL_SAME_ENTRY
static_assert(sizeof(struct ck_function_list) ==
              entry_offset(pkcs11::Function::WaitForSlotEvent) + sizeof(void*));
#endif

TEST(WindowsAbi, HasAThirtyTwoBitUlong) {
  EXPECT_EQ(sizeof(ck::CK_ULONG), 4u);
  // (The p11-kit header, included above, defines the CK_* constants as macros,
  // so the constant is checked through its type here.)
  EXPECT_EQ(std::numeric_limits<ck::CK_ULONG>::max(), 0xFFFFFFFFu);
}

TEST(WindowsAbi, AgreesWithTheIndependentHeader) {
#if !defined(MIRANDEL_HAVE_P11_KIT_HEADER)
  GTEST_SKIP() << "p11-kit's pkcs11.h is not installed; only our own static_asserts ran";
#else
  EXPECT_EQ(sizeof(unsigned long), 4u);  // the header's CK_ULONG on Windows
#endif
}

TEST(WindowsAbi, RefusesLengthsThatDoNotFitTheUlong) {
  struct Case {
    std::size_t length;
    bool fits;
  };
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  // The x86 program's size_t is no wider than CK_ULONG: every length fits.
  std::vector<Case> cases{Case{0, true}, Case{1, true}, Case{0xFFFFFFFEu, true},
                          Case{0xFFFFFFFFu, true}, Case{max, sizeof(std::size_t) == 4}};
  if constexpr (sizeof(std::size_t) > 4) {
    cases.push_back(Case{static_cast<std::size_t>(0x100000000ull), false});
    cases.push_back(Case{static_cast<std::size_t>(0x100000001ull), false});
  }
  for (Case c : cases) {
    auto converted = pkcs11::to_ck_ulong(c.length);
    ASSERT_EQ(converted.has_value(), c.fits) << c.length;
    if (c.fits) {
      EXPECT_EQ(*converted, static_cast<ck::CK_ULONG>(c.length));
    } else {
      EXPECT_TRUE(std::holds_alternative<pkcs11::LengthOutOfRange>(converted.error())) << c.length;
    }
  }
}

}  // namespace
}  // namespace mirandel
