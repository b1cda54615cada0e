// The p11-kit side of the layout cross-check (see layout_facts.hpp).  Holds no
// tests of its own; the comparison is in cryptoki_layout_test.cpp.
#include <p11-kit/pkcs11.h>

#include <cstddef>

#include "unit/pkcs11/layout_facts.hpp"

namespace mirandel::test {

#define MIRANDEL_SIZE_FACT(type) {"sizeof " #type, sizeof(type)},
#define MIRANDEL_MEMBER_FACT(type, member) {"offsetof " #type "." #member, offsetof(type, member)},
#define MIRANDEL_ENTRY_FACT(name, layout) \
  MIRANDEL_PKCS11_IF_V2_40(layout, {"entry C_" #name, offsetof(CK_FUNCTION_LIST, C_##name)}, )
#define MIRANDEL_CONSTANT_FACT(name) {#name, static_cast<unsigned long long>(name)},

const LayoutFact P11KIT_FACTS[] = {
    MIRANDEL_LAYOUT_TYPES(MIRANDEL_SIZE_FACT) MIRANDEL_LAYOUT_MEMBERS(MIRANDEL_MEMBER_FACT)
        MIRANDEL_PKCS11_ENTRY_POINTS(MIRANDEL_ENTRY_FACT){"sizeof CK_FUNCTION_LIST",
                                                          sizeof(CK_FUNCTION_LIST)},
    MIRANDEL_LAYOUT_CONSTANTS(MIRANDEL_CONSTANT_FACT)
    // Every token flag the standard defines; CKF_ERROR_STATE (1 << 24) came
    // with version 3.0, after this header.
    {"CKF_TOKEN_FLAGS_MASK",
     CKF_RNG | CKF_WRITE_PROTECTED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED |
         CKF_RESTORE_KEY_NOT_NEEDED | CKF_CLOCK_ON_TOKEN | CKF_PROTECTED_AUTHENTICATION_PATH |
         CKF_DUAL_CRYPTO_OPERATIONS | CKF_TOKEN_INITIALIZED | CKF_SECONDARY_AUTHENTICATION |
         CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED |
         CKF_USER_PIN_TO_BE_CHANGED | CKF_SO_PIN_COUNT_LOW | CKF_SO_PIN_FINAL_TRY |
         CKF_SO_PIN_LOCKED | CKF_SO_PIN_TO_BE_CHANGED | (1UL << 24)},
};
const std::size_t P11KIT_FACT_COUNT = sizeof P11KIT_FACTS / sizeof P11KIT_FACTS[0];

}  // namespace mirandel::test
