// The scriptable mock PKCS#11 module: declarations shared by its core and its
// thin entry files (one per discovery variant).
//
// The PKCS#11 types come from Debian's p11-kit header, not from the program's
// own declarations, so that the two are an independent check of each other.
// That header stops at 2.40; the 3.x interface record and the 104-entry list
// are declared here.
#pragma once

#include <cstddef>
#include <string>

#include "pkcs11/entry_points.hpp"

#if defined(_WIN32)
// The entry points are defined here and must be exported from the DLL.
#define CRYPTOKI_EXPORTS 1
#pragma pack(push, 1)
#endif
#include <p11-kit/pkcs11.h>
#if defined(_WIN32)
#pragma pack(pop)
#endif

#if defined(_WIN32)
#define MIRANDEL_MOCK_EXPORT __declspec(dllexport)
#else
#define MIRANDEL_MOCK_EXPORT __attribute__((visibility("default")))
#endif

#if defined(_WIN32)
#pragma pack(push, 1)
#endif

/// The PKCS#11 3.x interface record returned by C_GetInterface.
struct CK_INTERFACE {
  CK_UTF8CHAR* pInterfaceName;
  CK_VOID_PTR pFunctionList;
  CK_FLAGS flags;
};

namespace mirandel::mock {

/// An entry point's address, untyped.
using GenericFunction = void (*)();

/// A function list of any version: the version, then the entry points. The
/// mock allocates only as many entries as the reported version has, so that a
/// reader that copies too many is caught by AddressSanitizer.
struct FunctionList {
  CK_VERSION version;
  GenericFunction entries[pkcs11::FUNCTION_COUNT];
};

}  // namespace mirandel::mock

#if defined(_WIN32)
#pragma pack(pop)
#endif

namespace mirandel::mock {

// The discovery calls, which the entry files export as C_GetFunctionList,
// C_GetInterface and C_GetInterfaceList, and every handed-out list holds.
CK_RV discover_function_list(CK_FUNCTION_LIST_PTR_PTR list);
CK_RV discover_interface(CK_UTF8CHAR* name, CK_VERSION* version, CK_INTERFACE** found,
                         CK_FLAGS flags);
CK_RV discover_interface_list(CK_INTERFACE* interfaces, CK_ULONG* count);

/// The variant's name ("fl", "if_fl", "if", "none"), recorded at load.
extern const char* const VARIANT_NAME;

/// What a variant does besides the core when the module is initialised and
/// finalised (a thread started, signal handlers installed). Null: nothing.
/// Set by a variant's file while the library is loaded.
struct LifecycleHooks {
  void (*initialized)() = nullptr;  ///< after a successful C_Initialize
  void (*finalized)() = nullptr;    ///< after a successful C_Finalize
};
extern LifecycleHooks lifecycle_hooks;

/// In the variants that bring their own libcrypto (own_crypto.cpp): which
/// EVP_sha256 the module's code gets and whether libcrypto.so.3 is loaded, as
/// the words of a CRYPTO line logged at C_Initialize, C_GetSlotList and
/// C_Sign. Null in the other variants: no such line.
extern std::string (*crypto_probe)();

}  // namespace mirandel::mock
