// Our own PKCS#11 declarations: the types, constants, structure layouts and
// function list that this program uses to talk to a vendor module.
//
// Two ABIs are supported and chosen here, in one place:
//  - Windows, x86-64 and x86: every structure packed to 1 byte, CK_ULONG 32
//    bits, pointers of the process's width (8 or 4 bytes), cdecl calls
//    (the compiler's default for these function types on both).
//  - Linux x86-64: the native ABI of every Linux module, CK_ULONG is
//    unsigned long (64 bits) with natural alignment.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#pragma pack(push, 1)
#endif

namespace mirandel::ck {

#if defined(_WIN32)
using CK_ULONG = std::uint32_t;
#else
using CK_ULONG = unsigned long;
#endif

using CK_BYTE = unsigned char;
using CK_CHAR = unsigned char;
using CK_UTF8CHAR = unsigned char;
using CK_BBOOL = unsigned char;
using CK_RV = CK_ULONG;
using CK_FLAGS = CK_ULONG;
using CK_SLOT_ID = CK_ULONG;
using CK_SESSION_HANDLE = CK_ULONG;
using CK_OBJECT_HANDLE = CK_ULONG;
using CK_OBJECT_CLASS = CK_ULONG;
using CK_ATTRIBUTE_TYPE = CK_ULONG;
using CK_MECHANISM_TYPE = CK_ULONG;
using CK_USER_TYPE = CK_ULONG;
using CK_NOTIFICATION = CK_ULONG;
using CK_VOID_PTR = void*;

inline constexpr CK_BBOOL CK_FALSE = 0;
inline constexpr CK_BBOOL CK_TRUE = 1;
inline constexpr CK_ULONG CK_UNAVAILABLE_INFORMATION = ~CK_ULONG{0};
inline constexpr CK_ULONG CK_EFFECTIVELY_INFINITE = 0;

inline constexpr CK_RV CKR_OK = 0x0;
inline constexpr CK_RV CKR_GENERAL_ERROR = 0x5;
inline constexpr CK_RV CKR_FUNCTION_FAILED = 0x6;
inline constexpr CK_RV CKR_CANT_LOCK = 0xA;
inline constexpr CK_RV CKR_ATTRIBUTE_SENSITIVE = 0x11;
inline constexpr CK_RV CKR_ATTRIBUTE_TYPE_INVALID = 0x12;
inline constexpr CK_RV CKR_BUFFER_TOO_SMALL = 0x150;
inline constexpr CK_RV CKR_CRYPTOKI_ALREADY_INITIALIZED = 0x191;
inline constexpr CK_RV CKR_FUNCTION_NOT_SUPPORTED = 0x54;
inline constexpr CK_RV CKR_MECHANISM_INVALID = 0x70;
inline constexpr CK_RV CKR_OPERATION_ACTIVE = 0x90;
inline constexpr CK_RV CKR_USER_ALREADY_LOGGED_IN = 0x100;
inline constexpr CK_RV CKR_USER_NOT_LOGGED_IN = 0x101;
inline constexpr CK_RV CKR_VENDOR_DEFINED = 0x80000000;

inline constexpr CK_FLAGS CKF_TOKEN_PRESENT = 0x1;
inline constexpr CK_FLAGS CKF_REMOVABLE_DEVICE = 0x2;
inline constexpr CK_FLAGS CKF_HW_SLOT = 0x4;
inline constexpr CK_FLAGS CKF_CLOCK_ON_TOKEN = 0x40;
inline constexpr CK_FLAGS CKF_PROTECTED_AUTHENTICATION_PATH = 0x100;
/// Every flag bit that the standard defines for CK_TOKEN_INFO.
inline constexpr CK_FLAGS CKF_TOKEN_FLAGS_MASK = 0x01FF0F6F;
inline constexpr CK_FLAGS CKF_SERIAL_SESSION = 0x4;
inline constexpr CK_FLAGS CKF_RW_SESSION = 0x2;
inline constexpr CK_FLAGS CKF_OS_LOCKING_OK = 0x2;

inline constexpr CK_USER_TYPE CKU_USER = 1;
inline constexpr CK_USER_TYPE CKU_CONTEXT_SPECIFIC = 2;

inline constexpr CK_OBJECT_CLASS CKO_CERTIFICATE = 1;
inline constexpr CK_OBJECT_CLASS CKO_PRIVATE_KEY = 3;

inline constexpr CK_ATTRIBUTE_TYPE CKA_CLASS = 0x0;
inline constexpr CK_ATTRIBUTE_TYPE CKA_TOKEN = 0x1;
inline constexpr CK_ATTRIBUTE_TYPE CKA_PRIVATE = 0x2;
inline constexpr CK_ATTRIBUTE_TYPE CKA_LABEL = 0x3;
inline constexpr CK_ATTRIBUTE_TYPE CKA_VALUE = 0x11;
inline constexpr CK_ATTRIBUTE_TYPE CKA_CERTIFICATE_TYPE = 0x80;
inline constexpr CK_ATTRIBUTE_TYPE CKA_KEY_TYPE = 0x100;
inline constexpr CK_ATTRIBUTE_TYPE CKA_ID = 0x102;
inline constexpr CK_ATTRIBUTE_TYPE CKA_SENSITIVE = 0x103;
inline constexpr CK_ATTRIBUTE_TYPE CKA_SIGN = 0x108;
inline constexpr CK_ATTRIBUTE_TYPE CKA_START_DATE = 0x110;
inline constexpr CK_ATTRIBUTE_TYPE CKA_END_DATE = 0x111;
inline constexpr CK_ATTRIBUTE_TYPE CKA_MODULUS_BITS = 0x121;
// Further attributes whose values have a fixed size (CK_BBOOL or CK_ULONG).
inline constexpr CK_ATTRIBUTE_TYPE CKA_TRUSTED = 0x86;
inline constexpr CK_ATTRIBUTE_TYPE CKA_CERTIFICATE_CATEGORY = 0x87;
inline constexpr CK_ATTRIBUTE_TYPE CKA_ENCRYPT = 0x104;
inline constexpr CK_ATTRIBUTE_TYPE CKA_DECRYPT = 0x105;
inline constexpr CK_ATTRIBUTE_TYPE CKA_WRAP = 0x106;
inline constexpr CK_ATTRIBUTE_TYPE CKA_UNWRAP = 0x107;
inline constexpr CK_ATTRIBUTE_TYPE CKA_SIGN_RECOVER = 0x109;
inline constexpr CK_ATTRIBUTE_TYPE CKA_VERIFY = 0x10A;
inline constexpr CK_ATTRIBUTE_TYPE CKA_VERIFY_RECOVER = 0x10B;
inline constexpr CK_ATTRIBUTE_TYPE CKA_DERIVE = 0x10C;
inline constexpr CK_ATTRIBUTE_TYPE CKA_VALUE_BITS = 0x160;
inline constexpr CK_ATTRIBUTE_TYPE CKA_VALUE_LEN = 0x161;
inline constexpr CK_ATTRIBUTE_TYPE CKA_EXTRACTABLE = 0x162;
inline constexpr CK_ATTRIBUTE_TYPE CKA_LOCAL = 0x163;
inline constexpr CK_ATTRIBUTE_TYPE CKA_NEVER_EXTRACTABLE = 0x164;
inline constexpr CK_ATTRIBUTE_TYPE CKA_ALWAYS_SENSITIVE = 0x165;
inline constexpr CK_ATTRIBUTE_TYPE CKA_KEY_GEN_MECHANISM = 0x166;
inline constexpr CK_ATTRIBUTE_TYPE CKA_MODIFIABLE = 0x170;
inline constexpr CK_ATTRIBUTE_TYPE CKA_COPYABLE = 0x171;
inline constexpr CK_ATTRIBUTE_TYPE CKA_DESTROYABLE = 0x172;
inline constexpr CK_ATTRIBUTE_TYPE CKA_ALWAYS_AUTHENTICATE = 0x202;
inline constexpr CK_ATTRIBUTE_TYPE CKA_WRAP_WITH_TRUSTED = 0x210;

using CK_RSA_PKCS_MGF_TYPE = CK_ULONG;

// Signing mechanisms: the token hashes the data itself ...
inline constexpr CK_MECHANISM_TYPE CKM_SHA256_RSA_PKCS = 0x40;
inline constexpr CK_MECHANISM_TYPE CKM_SHA384_RSA_PKCS = 0x41;
inline constexpr CK_MECHANISM_TYPE CKM_SHA512_RSA_PKCS = 0x42;
inline constexpr CK_MECHANISM_TYPE CKM_SHA256_RSA_PKCS_PSS = 0x43;
inline constexpr CK_MECHANISM_TYPE CKM_SHA384_RSA_PKCS_PSS = 0x44;
inline constexpr CK_MECHANISM_TYPE CKM_SHA512_RSA_PKCS_PSS = 0x45;
inline constexpr CK_MECHANISM_TYPE CKM_ECDSA_SHA256 = 0x1044;
inline constexpr CK_MECHANISM_TYPE CKM_ECDSA_SHA384 = 0x1045;
inline constexpr CK_MECHANISM_TYPE CKM_ECDSA_SHA512 = 0x1046;
// ... or signs a digest it is handed.
inline constexpr CK_MECHANISM_TYPE CKM_RSA_PKCS = 0x1;
inline constexpr CK_MECHANISM_TYPE CKM_RSA_PKCS_PSS = 0xD;
inline constexpr CK_MECHANISM_TYPE CKM_ECDSA = 0x1041;
// Digests, as named inside the PSS parameters.
inline constexpr CK_MECHANISM_TYPE CKM_SHA256 = 0x250;
inline constexpr CK_MECHANISM_TYPE CKM_SHA384 = 0x260;
inline constexpr CK_MECHANISM_TYPE CKM_SHA512 = 0x270;

inline constexpr CK_RSA_PKCS_MGF_TYPE CKG_MGF1_SHA256 = 0x2;
inline constexpr CK_RSA_PKCS_MGF_TYPE CKG_MGF1_SHA384 = 0x3;
inline constexpr CK_RSA_PKCS_MGF_TYPE CKG_MGF1_SHA512 = 0x4;

struct CK_VERSION {
  CK_BYTE major;
  CK_BYTE minor;
};

struct CK_DATE {
  CK_CHAR year[4];
  CK_CHAR month[2];
  CK_CHAR day[2];
};

struct CK_SLOT_INFO {
  CK_UTF8CHAR slotDescription[64];
  CK_UTF8CHAR manufacturerID[32];
  CK_FLAGS flags;
  CK_VERSION hardwareVersion;
  CK_VERSION firmwareVersion;
};

struct CK_TOKEN_INFO {
  CK_UTF8CHAR label[32];
  CK_UTF8CHAR manufacturerID[32];
  CK_UTF8CHAR model[16];
  CK_CHAR serialNumber[16];
  CK_FLAGS flags;
  CK_ULONG ulMaxSessionCount;
  CK_ULONG ulSessionCount;
  CK_ULONG ulMaxRwSessionCount;
  CK_ULONG ulRwSessionCount;
  CK_ULONG ulMaxPinLen;
  CK_ULONG ulMinPinLen;
  CK_ULONG ulTotalPublicMemory;
  CK_ULONG ulFreePublicMemory;
  CK_ULONG ulTotalPrivateMemory;
  CK_ULONG ulFreePrivateMemory;
  CK_VERSION hardwareVersion;
  CK_VERSION firmwareVersion;
  CK_CHAR utcTime[16];
};

struct CK_ATTRIBUTE {
  CK_ATTRIBUTE_TYPE type;
  CK_VOID_PTR pValue;
  CK_ULONG ulValueLen;
};

struct CK_MECHANISM {
  CK_MECHANISM_TYPE mechanism;
  CK_VOID_PTR pParameter;
  CK_ULONG ulParameterLen;
};

/// The parameter of the RSA-PSS mechanisms.
struct CK_RSA_PKCS_PSS_PARAMS {
  CK_MECHANISM_TYPE hashAlg;
  CK_RSA_PKCS_MGF_TYPE mgf;
  CK_ULONG sLen;
};

using CK_CREATEMUTEX = CK_RV (*)(void** ppMutex);
using CK_DESTROYMUTEX = CK_RV (*)(void* pMutex);
using CK_LOCKMUTEX = CK_RV (*)(void* pMutex);
using CK_UNLOCKMUTEX = CK_RV (*)(void* pMutex);

struct CK_C_INITIALIZE_ARGS {
  CK_CREATEMUTEX CreateMutex;
  CK_DESTROYMUTEX DestroyMutex;
  CK_LOCKMUTEX LockMutex;
  CK_UNLOCKMUTEX UnlockMutex;
  CK_FLAGS flags;
  CK_VOID_PTR pReserved;
};

using CK_NOTIFY = CK_RV (*)(CK_SESSION_HANDLE, CK_NOTIFICATION, void*);

/// Head of every version of the function list: the version, then the entry
/// points as consecutive pointers.  The entries are read by index (see
/// FUNCTION_LIST_ENTRIES_OFFSET; their order is in pkcs11/entry_points.hpp), so
/// one declaration serves all three list versions.
struct CK_FUNCTION_LIST_HEAD {
  CK_VERSION version;
  void (*first_entry)();
};

struct CK_INTERFACE {
  CK_UTF8CHAR* pInterfaceName;
  CK_VOID_PTR pFunctionList;
  CK_FLAGS flags;
};

// Typed entry points of the calls this program makes.
using CK_C_Initialize = CK_RV (*)(CK_VOID_PTR pInitArgs);
using CK_C_Finalize = CK_RV (*)(CK_VOID_PTR pReserved);
using CK_C_GetFunctionList = CK_RV (*)(CK_FUNCTION_LIST_HEAD** ppFunctionList);
using CK_C_GetInterface = CK_RV (*)(CK_UTF8CHAR* pInterfaceName, CK_VERSION* pVersion,
                                    CK_INTERFACE** ppInterface, CK_FLAGS flags);
using CK_C_GetSlotList = CK_RV (*)(CK_BBOOL tokenPresent, CK_SLOT_ID* pSlotList,
                                   CK_ULONG* pulCount);
using CK_C_GetSlotInfo = CK_RV (*)(CK_SLOT_ID slotID, CK_SLOT_INFO* pInfo);
using CK_C_GetTokenInfo = CK_RV (*)(CK_SLOT_ID slotID, CK_TOKEN_INFO* pInfo);
using CK_C_OpenSession = CK_RV (*)(CK_SLOT_ID slotID, CK_FLAGS flags, CK_VOID_PTR pApplication,
                                   CK_NOTIFY Notify, CK_SESSION_HANDLE* phSession);
using CK_C_CloseSession = CK_RV (*)(CK_SESSION_HANDLE hSession);
using CK_C_FindObjectsInit = CK_RV (*)(CK_SESSION_HANDLE hSession, CK_ATTRIBUTE* pTemplate,
                                       CK_ULONG ulCount);
using CK_C_FindObjects = CK_RV (*)(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE* phObject,
                                   CK_ULONG ulMaxObjectCount, CK_ULONG* pulObjectCount);
using CK_C_FindObjectsFinal = CK_RV (*)(CK_SESSION_HANDLE hSession);
using CK_C_GetAttributeValue = CK_RV (*)(CK_SESSION_HANDLE hSession, CK_OBJECT_HANDLE hObject,
                                         CK_ATTRIBUTE* pTemplate, CK_ULONG ulCount);
using CK_C_Login = CK_RV (*)(CK_SESSION_HANDLE hSession, CK_USER_TYPE userType, CK_UTF8CHAR* pPin,
                             CK_ULONG ulPinLen);
using CK_C_Logout = CK_RV (*)(CK_SESSION_HANDLE hSession);
using CK_C_SignInit = CK_RV (*)(CK_SESSION_HANDLE hSession, CK_MECHANISM* pMechanism,
                                CK_OBJECT_HANDLE hKey);
using CK_C_Sign = CK_RV (*)(CK_SESSION_HANDLE hSession, CK_BYTE* pData, CK_ULONG ulDataLen,
                            CK_BYTE* pSignature, CK_ULONG* pulSignatureLen);

/// Offset of the first entry point behind the list's CK_VERSION.
inline constexpr std::size_t FUNCTION_LIST_ENTRIES_OFFSET =
    offsetof(CK_FUNCTION_LIST_HEAD, first_entry);

}  // namespace mirandel::ck

#if defined(_WIN32)
#pragma pack(pop)
#endif

namespace mirandel::ck {

#if defined(_WIN32)
// POINTER_BYTES is the pointer size, 8 on x86-64 and 4 on x86: the packed structures
// have no padding, so each pointer member moves what follows it by that much.
inline constexpr std::size_t POINTER_BYTES = sizeof(void*);
static_assert(POINTER_BYTES == 8 || POINTER_BYTES == 4);
static_assert(sizeof(CK_ULONG) == 4);
static_assert(sizeof(CK_VERSION) == 2);
static_assert(sizeof(CK_SLOT_INFO) == 104);
static_assert(offsetof(CK_SLOT_INFO, flags) == 96);
static_assert(offsetof(CK_SLOT_INFO, hardwareVersion) == 100);
static_assert(sizeof(CK_TOKEN_INFO) == 160);
static_assert(offsetof(CK_TOKEN_INFO, flags) == 96);
static_assert(offsetof(CK_TOKEN_INFO, ulMaxSessionCount) == 100);
static_assert(offsetof(CK_TOKEN_INFO, hardwareVersion) == 140);
static_assert(offsetof(CK_TOKEN_INFO, utcTime) == 144);
static_assert(sizeof(CK_ATTRIBUTE) == 8 + POINTER_BYTES);
static_assert(offsetof(CK_ATTRIBUTE, pValue) == 4);
static_assert(offsetof(CK_ATTRIBUTE, ulValueLen) == 4 + POINTER_BYTES);
static_assert(sizeof(CK_MECHANISM) == 8 + POINTER_BYTES);
static_assert(offsetof(CK_MECHANISM, pParameter) == 4);
static_assert(offsetof(CK_MECHANISM, ulParameterLen) == 4 + POINTER_BYTES);
static_assert(sizeof(CK_RSA_PKCS_PSS_PARAMS) == 12);
static_assert(offsetof(CK_RSA_PKCS_PSS_PARAMS, mgf) == 4);
static_assert(offsetof(CK_RSA_PKCS_PSS_PARAMS, sLen) == 8);
static_assert(sizeof(CK_INTERFACE) == 4 + 2 * POINTER_BYTES);
static_assert(offsetof(CK_INTERFACE, pFunctionList) == POINTER_BYTES);
static_assert(sizeof(CK_C_INITIALIZE_ARGS) == 4 + 5 * POINTER_BYTES);
static_assert(offsetof(CK_C_INITIALIZE_ARGS, flags) == 4 * POINTER_BYTES);
static_assert(FUNCTION_LIST_ENTRIES_OFFSET == 2);
#else
static_assert(sizeof(CK_ULONG) == sizeof(unsigned long));
static_assert(sizeof(CK_SLOT_INFO) == 112);
static_assert(offsetof(CK_SLOT_INFO, flags) == 96);
static_assert(sizeof(CK_TOKEN_INFO) == 208);
static_assert(offsetof(CK_TOKEN_INFO, flags) == 96);
static_assert(offsetof(CK_TOKEN_INFO, utcTime) == 188);
static_assert(sizeof(CK_ATTRIBUTE) == 24);
static_assert(sizeof(CK_MECHANISM) == 24);
static_assert(sizeof(CK_RSA_PKCS_PSS_PARAMS) == 24);
static_assert(offsetof(CK_RSA_PKCS_PSS_PARAMS, mgf) == 8);
static_assert(offsetof(CK_RSA_PKCS_PSS_PARAMS, sLen) == 16);
static_assert(sizeof(CK_C_INITIALIZE_ARGS) == 48);
static_assert(offsetof(CK_C_INITIALIZE_ARGS, flags) == 32);
static_assert(offsetof(CK_INTERFACE, pFunctionList) == 8);
static_assert(FUNCTION_LIST_ENTRIES_OFFSET == 8);
#endif

}  // namespace mirandel::ck
