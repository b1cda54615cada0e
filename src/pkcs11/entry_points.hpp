// The entry points of the PKCS#11 function list, listed once: the Function
// enumeration, the names, the exported symbols and the length of each
// version's list all come from MIRANDEL_PKCS11_ENTRY_POINTS.
//
// This header declares no PKCS#11 type, so that the mock module, which takes
// its types from another pkcs11.h, can share the list.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// X(Name, layout): every entry point in the order of the 3.2 function list,
// with the TableLayout whose list first holds it. Each version's list extends
// the one before it, so a layout's entries are a prefix of this list.
#define MIRANDEL_PKCS11_ENTRY_POINTS(X) \
  X(Initialize, V2_40)                  \
  X(Finalize, V2_40)                    \
  X(GetInfo, V2_40)                     \
  X(GetFunctionList, V2_40)             \
  X(GetSlotList, V2_40)                 \
  X(GetSlotInfo, V2_40)                 \
  X(GetTokenInfo, V2_40)                \
  X(GetMechanismList, V2_40)            \
  X(GetMechanismInfo, V2_40)            \
  X(InitToken, V2_40)                   \
  X(InitPIN, V2_40)                     \
  X(SetPIN, V2_40)                      \
  X(OpenSession, V2_40)                 \
  X(CloseSession, V2_40)                \
  X(CloseAllSessions, V2_40)            \
  X(GetSessionInfo, V2_40)              \
  X(GetOperationState, V2_40)           \
  X(SetOperationState, V2_40)           \
  X(Login, V2_40)                       \
  X(Logout, V2_40)                      \
  X(CreateObject, V2_40)                \
  X(CopyObject, V2_40)                  \
  X(DestroyObject, V2_40)               \
  X(GetObjectSize, V2_40)               \
  X(GetAttributeValue, V2_40)           \
  X(SetAttributeValue, V2_40)           \
  X(FindObjectsInit, V2_40)             \
  X(FindObjects, V2_40)                 \
  X(FindObjectsFinal, V2_40)            \
  X(EncryptInit, V2_40)                 \
  X(Encrypt, V2_40)                     \
  X(EncryptUpdate, V2_40)               \
  X(EncryptFinal, V2_40)                \
  X(DecryptInit, V2_40)                 \
  X(Decrypt, V2_40)                     \
  X(DecryptUpdate, V2_40)               \
  X(DecryptFinal, V2_40)                \
  X(DigestInit, V2_40)                  \
  X(Digest, V2_40)                      \
  X(DigestUpdate, V2_40)                \
  X(DigestKey, V2_40)                   \
  X(DigestFinal, V2_40)                 \
  X(SignInit, V2_40)                    \
  X(Sign, V2_40)                        \
  X(SignUpdate, V2_40)                  \
  X(SignFinal, V2_40)                   \
  X(SignRecoverInit, V2_40)             \
  X(SignRecover, V2_40)                 \
  X(VerifyInit, V2_40)                  \
  X(Verify, V2_40)                      \
  X(VerifyUpdate, V2_40)                \
  X(VerifyFinal, V2_40)                 \
  X(VerifyRecoverInit, V2_40)           \
  X(VerifyRecover, V2_40)               \
  X(DigestEncryptUpdate, V2_40)         \
  X(DecryptDigestUpdate, V2_40)         \
  X(SignEncryptUpdate, V2_40)           \
  X(DecryptVerifyUpdate, V2_40)         \
  X(GenerateKey, V2_40)                 \
  X(GenerateKeyPair, V2_40)             \
  X(WrapKey, V2_40)                     \
  X(UnwrapKey, V2_40)                   \
  X(DeriveKey, V2_40)                   \
  X(SeedRandom, V2_40)                  \
  X(GenerateRandom, V2_40)              \
  X(GetFunctionStatus, V2_40)           \
  X(CancelFunction, V2_40)              \
  X(WaitForSlotEvent, V2_40)            \
  X(GetInterfaceList, V3_0)             \
  X(GetInterface, V3_0)                 \
  X(LoginUser, V3_0)                    \
  X(SessionCancel, V3_0)                \
  X(MessageEncryptInit, V3_0)           \
  X(EncryptMessage, V3_0)               \
  X(EncryptMessageBegin, V3_0)          \
  X(EncryptMessageNext, V3_0)           \
  X(MessageEncryptFinal, V3_0)          \
  X(MessageDecryptInit, V3_0)           \
  X(DecryptMessage, V3_0)               \
  X(DecryptMessageBegin, V3_0)          \
  X(DecryptMessageNext, V3_0)           \
  X(MessageDecryptFinal, V3_0)          \
  X(MessageSignInit, V3_0)              \
  X(SignMessage, V3_0)                  \
  X(SignMessageBegin, V3_0)             \
  X(SignMessageNext, V3_0)              \
  X(MessageSignFinal, V3_0)             \
  X(MessageVerifyInit, V3_0)            \
  X(VerifyMessage, V3_0)                \
  X(VerifyMessageBegin, V3_0)           \
  X(VerifyMessageNext, V3_0)            \
  X(MessageVerifyFinal, V3_0)           \
  X(EncapsulateKey, V3_2)               \
  X(DecapsulateKey, V3_2)               \
  X(VerifySignatureInit, V3_2)          \
  X(VerifySignature, V3_2)              \
  X(VerifySignatureUpdate, V3_2)        \
  X(VerifySignatureFinal, V3_2)         \
  X(GetSessionValidationFlags, V3_2)    \
  X(AsyncComplete, V3_2)                \
  X(AsyncGetID, V3_2)                   \
  X(AsyncJoin, V3_2)                    \
  X(WrapKeyAuthenticated, V3_2)         \
  X(UnwrapKeyAuthenticated, V3_2)

// MIRANDEL_PKCS11_IF_V2_40(layout, ...) expands to its other arguments for the
// entries of the 2.40 list only, the list that p11-kit's pkcs11.h declares:
// the tests hold our list to that header entry by entry.
#define MIRANDEL_PKCS11_IF_V2_40(layout, ...) MIRANDEL_PKCS11_IF_V2_40_##layout(__VA_ARGS__)
#define MIRANDEL_PKCS11_IF_V2_40_V2_40(...) __VA_ARGS__
#define MIRANDEL_PKCS11_IF_V2_40_V3_0(...)
#define MIRANDEL_PKCS11_IF_V2_40_V3_2(...)

namespace mirandel::pkcs11 {

/// One member per entry point, in function-list order.
enum class Function : std::uint8_t {
#define MIRANDEL_FUNCTION_MEMBER(name, layout) name,
  MIRANDEL_PKCS11_ENTRY_POINTS(MIRANDEL_FUNCTION_MEMBER)
#undef MIRANDEL_FUNCTION_MEMBER
};

/// Which version's function list a module handed out.
enum class TableLayout : std::uint8_t { V2_40, V3_0, V3_2 };

/// Entry-point names without the "C_" prefix, indexed by Function.
inline constexpr std::array FUNCTION_NAMES = {
#define MIRANDEL_FUNCTION_NAME(name, layout) std::string_view(#name),
    MIRANDEL_PKCS11_ENTRY_POINTS(MIRANDEL_FUNCTION_NAME)
#undef MIRANDEL_FUNCTION_NAME
};

inline constexpr std::size_t FUNCTION_COUNT = FUNCTION_NAMES.size();

/// The exported symbol of each entry point, indexed by Function.
inline constexpr std::array<const char*, FUNCTION_COUNT> ENTRY_POINT_SYMBOLS = {
#define MIRANDEL_ENTRY_POINT_SYMBOL(name, layout) "C_" #name,
    MIRANDEL_PKCS11_ENTRY_POINTS(MIRANDEL_ENTRY_POINT_SYMBOL)
#undef MIRANDEL_ENTRY_POINT_SYMBOL
};

/// The layout whose list first holds each entry point, indexed by Function.
inline constexpr std::array<TableLayout, FUNCTION_COUNT> FUNCTION_LAYOUTS = {
#define MIRANDEL_FUNCTION_LAYOUT(name, layout) TableLayout::layout,
    MIRANDEL_PKCS11_ENTRY_POINTS(MIRANDEL_FUNCTION_LAYOUT)
#undef MIRANDEL_FUNCTION_LAYOUT
};

constexpr std::size_t index_of(Function f) { return static_cast<std::size_t>(f); }
constexpr std::string_view function_name(Function f) { return FUNCTION_NAMES[index_of(f)]; }

/// Number of entries in the function list of `layout`.
constexpr std::size_t entries_in(TableLayout layout) {
  std::size_t count = 0;
  while (count < FUNCTION_COUNT && FUNCTION_LAYOUTS[count] <= layout) ++count;
  return count;
}

// Counting a prefix is right only while the layouts never go back in list order.
static_assert(std::is_sorted(FUNCTION_LAYOUTS.begin(), FUNCTION_LAYOUTS.end()));
static_assert(entries_in(TableLayout::V2_40) == 68);
static_assert(entries_in(TableLayout::V3_0) == 92);
static_assert(entries_in(TableLayout::V3_2) == 104);

}  // namespace mirandel::pkcs11
