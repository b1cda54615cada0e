// Layout facts of the PKCS#11 declarations, listed once and evaluated twice:
// against Debian's p11-kit pkcs11.h and against our cryptoki.hpp.  The two
// headers cannot meet in one translation unit (p11-kit's constants are
// macros), so each side exports its values as plain data.
#pragma once

#include <cstddef>

#include "pkcs11/entry_points.hpp"

namespace mirandel::test {

/// One named number: a size, an offset or a constant.
struct LayoutFact {
  const char* name;
  unsigned long long value;
};

/// The facts as p11-kit's header gives them.
extern const LayoutFact P11KIT_FACTS[];
extern const std::size_t P11KIT_FACT_COUNT;

}  // namespace mirandel::test

// Structure sizes and member offsets.
#define MIRANDEL_LAYOUT_TYPES(X) \
  X(CK_ULONG)                    \
  X(CK_VERSION)                  \
  X(CK_DATE)                     \
  X(CK_SLOT_INFO)                \
  X(CK_TOKEN_INFO)               \
  X(CK_ATTRIBUTE)                \
  X(CK_MECHANISM)                \
  X(CK_RSA_PKCS_PSS_PARAMS)      \
  X(CK_C_INITIALIZE_ARGS)
#define MIRANDEL_LAYOUT_MEMBERS(X)      \
  X(CK_SLOT_INFO, manufacturerID)       \
  X(CK_SLOT_INFO, flags)                \
  X(CK_SLOT_INFO, hardwareVersion)      \
  X(CK_SLOT_INFO, firmwareVersion)      \
  X(CK_TOKEN_INFO, model)               \
  X(CK_TOKEN_INFO, serialNumber)        \
  X(CK_TOKEN_INFO, flags)               \
  X(CK_TOKEN_INFO, ulMaxSessionCount)   \
  X(CK_TOKEN_INFO, ulFreePrivateMemory) \
  X(CK_TOKEN_INFO, hardwareVersion)     \
  X(CK_TOKEN_INFO, utcTime)             \
  X(CK_ATTRIBUTE, pValue)               \
  X(CK_ATTRIBUTE, ulValueLen)           \
  X(CK_MECHANISM, pParameter)           \
  X(CK_MECHANISM, ulParameterLen)       \
  X(CK_RSA_PKCS_PSS_PARAMS, mgf)        \
  X(CK_RSA_PKCS_PSS_PARAMS, sLen)       \
  X(CK_C_INITIALIZE_ARGS, UnlockMutex)  \
  X(CK_C_INITIALIZE_ARGS, flags)        \
  X(CK_C_INITIALIZE_ARGS, pReserved)
// The offsets of the function-list entries, which check the order of our
// entry-point list, come from MIRANDEL_PKCS11_ENTRY_POINTS through
// MIRANDEL_PKCS11_IF_V2_40: every entry of the 2.40 list.
// Constants.
// clang-format off
#define MIRANDEL_LAYOUT_CONSTANTS(X) \
  X(CKR_OK) X(CKR_CANT_LOCK) X(CKR_ATTRIBUTE_SENSITIVE) X(CKR_ATTRIBUTE_TYPE_INVALID) \
  X(CKR_BUFFER_TOO_SMALL) X(CKR_CRYPTOKI_ALREADY_INITIALIZED) X(CKR_USER_ALREADY_LOGGED_IN) \
  X(CKR_VENDOR_DEFINED) X(CK_UNAVAILABLE_INFORMATION) X(CK_EFFECTIVELY_INFINITE) X(CK_TRUE) \
  X(CK_FALSE) X(CKF_TOKEN_PRESENT) X(CKF_REMOVABLE_DEVICE) X(CKF_HW_SLOT) X(CKF_CLOCK_ON_TOKEN) \
  X(CKF_SERIAL_SESSION) X(CKF_RW_SESSION) X(CKF_OS_LOCKING_OK) X(CKU_USER) X(CKO_CERTIFICATE) \
  X(CKO_PRIVATE_KEY) X(CKA_CLASS) X(CKA_TOKEN) X(CKA_PRIVATE) X(CKA_LABEL) X(CKA_VALUE) \
  X(CKA_CERTIFICATE_TYPE) X(CKA_KEY_TYPE) X(CKA_ID) X(CKA_SENSITIVE) X(CKA_SIGN) \
  X(CKA_START_DATE) X(CKA_END_DATE) X(CKA_MODULUS_BITS) X(CKA_TRUSTED) \
  X(CKA_CERTIFICATE_CATEGORY) X(CKA_ENCRYPT) X(CKA_DECRYPT) X(CKA_WRAP) X(CKA_UNWRAP) \
  X(CKA_SIGN_RECOVER) X(CKA_VERIFY) X(CKA_VERIFY_RECOVER) X(CKA_DERIVE) X(CKA_VALUE_BITS) \
  X(CKA_VALUE_LEN) X(CKA_EXTRACTABLE) X(CKA_LOCAL) X(CKA_NEVER_EXTRACTABLE) \
  X(CKA_ALWAYS_SENSITIVE) X(CKA_KEY_GEN_MECHANISM) X(CKA_MODIFIABLE) X(CKA_COPYABLE) \
  X(CKA_DESTROYABLE) X(CKA_ALWAYS_AUTHENTICATE) X(CKA_WRAP_WITH_TRUSTED) X(CKM_SHA256_RSA_PKCS) \
  X(CKM_SHA384_RSA_PKCS) X(CKM_SHA512_RSA_PKCS) X(CKM_SHA256_RSA_PKCS_PSS) \
  X(CKM_SHA384_RSA_PKCS_PSS) X(CKM_SHA512_RSA_PKCS_PSS) X(CKM_ECDSA_SHA256) X(CKM_ECDSA_SHA384) \
  X(CKM_ECDSA_SHA512) X(CKM_RSA_PKCS) X(CKM_RSA_PKCS_PSS) X(CKM_ECDSA) X(CKM_SHA256) \
  X(CKM_SHA384) X(CKM_SHA512) X(CKG_MGF1_SHA256) X(CKG_MGF1_SHA384) X(CKG_MGF1_SHA512) \
  X(CKU_CONTEXT_SPECIFIC) X(CKR_MECHANISM_INVALID) X(CKR_USER_NOT_LOGGED_IN)
// clang-format on
