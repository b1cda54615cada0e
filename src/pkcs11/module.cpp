// Loading the vendor module, copying its function table and initialising it.

#include "pkcs11/module.hpp"

#include <cstring>
#include <utility>

namespace mirandel::pkcs11 {

const std::array<const char*, FUNCTION_COUNT> ENTRY_POINT_SYMBOLS = {
    "C_Initialize",
    "C_Finalize",
    "C_GetInfo",
    "C_GetFunctionList",
    "C_GetSlotList",
    "C_GetSlotInfo",
    "C_GetTokenInfo",
    "C_GetMechanismList",
    "C_GetMechanismInfo",
    "C_InitToken",
    "C_InitPIN",
    "C_SetPIN",
    "C_OpenSession",
    "C_CloseSession",
    "C_CloseAllSessions",
    "C_GetSessionInfo",
    "C_GetOperationState",
    "C_SetOperationState",
    "C_Login",
    "C_Logout",
    "C_CreateObject",
    "C_CopyObject",
    "C_DestroyObject",
    "C_GetObjectSize",
    "C_GetAttributeValue",
    "C_SetAttributeValue",
    "C_FindObjectsInit",
    "C_FindObjects",
    "C_FindObjectsFinal",
    "C_EncryptInit",
    "C_Encrypt",
    "C_EncryptUpdate",
    "C_EncryptFinal",
    "C_DecryptInit",
    "C_Decrypt",
    "C_DecryptUpdate",
    "C_DecryptFinal",
    "C_DigestInit",
    "C_Digest",
    "C_DigestUpdate",
    "C_DigestKey",
    "C_DigestFinal",
    "C_SignInit",
    "C_Sign",
    "C_SignUpdate",
    "C_SignFinal",
    "C_SignRecoverInit",
    "C_SignRecover",
    "C_VerifyInit",
    "C_Verify",
    "C_VerifyUpdate",
    "C_VerifyFinal",
    "C_VerifyRecoverInit",
    "C_VerifyRecover",
    "C_DigestEncryptUpdate",
    "C_DecryptDigestUpdate",
    "C_SignEncryptUpdate",
    "C_DecryptVerifyUpdate",
    "C_GenerateKey",
    "C_GenerateKeyPair",
    "C_WrapKey",
    "C_UnwrapKey",
    "C_DeriveKey",
    "C_SeedRandom",
    "C_GenerateRandom",
    "C_GetFunctionStatus",
    "C_CancelFunction",
    "C_WaitForSlotEvent",
    "C_GetInterfaceList",
    "C_GetInterface",
    "C_LoginUser",
    "C_SessionCancel",
    "C_MessageEncryptInit",
    "C_EncryptMessage",
    "C_EncryptMessageBegin",
    "C_EncryptMessageNext",
    "C_MessageEncryptFinal",
    "C_MessageDecryptInit",
    "C_DecryptMessage",
    "C_DecryptMessageBegin",
    "C_DecryptMessageNext",
    "C_MessageDecryptFinal",
    "C_MessageSignInit",
    "C_SignMessage",
    "C_SignMessageBegin",
    "C_SignMessageNext",
    "C_MessageSignFinal",
    "C_MessageVerifyInit",
    "C_VerifyMessage",
    "C_VerifyMessageBegin",
    "C_VerifyMessageNext",
    "C_MessageVerifyFinal",
    "C_EncapsulateKey",
    "C_DecapsulateKey",
    "C_VerifySignatureInit",
    "C_VerifySignature",
    "C_VerifySignatureUpdate",
    "C_VerifySignatureFinal",
    "C_GetSessionValidationFlags",
    "C_AsyncComplete",
    "C_AsyncGetID",
    "C_AsyncJoin",
    "C_WrapKeyAuthenticated",
    "C_UnwrapKeyAuthenticated",
};

namespace {

// The entries are copied bytewise: on Windows the list is packed, so its
// pointers start at offset 2 and are not aligned.
static_assert(sizeof(platform::GenericFunction) == sizeof(void*));

/// The found address of `function`, or null when the lookup failed.
platform::GenericFunction found(const std::array<EntryPointLookup, FUNCTION_COUNT>& lookups,
                                Function function) {
  const EntryPointLookup& lookup = lookups[index_of(function)];
  return lookup ? *lookup : nullptr;
}

/// Copies the version and the first `count` entries of a module's list.
FunctionTable copy_function_list(const void* list, TableLayout layout, std::size_t count) {
  FunctionTable table;
  table.layout = layout;
  const unsigned char* bytes = static_cast<const unsigned char*>(list);
  std::memcpy(&table.version, bytes, sizeof(ck::CK_VERSION));
  for (std::size_t i = 0; i < count; ++i)
    std::memcpy(&table.entries[i], bytes + ck::FUNCTION_LIST_ENTRIES_OFFSET + i * sizeof(void*),
                sizeof(void*));
  return table;
}

}  // namespace

// One ladder, top to bottom: open the library, look up every name, ask
// C_GetInterface for the default interface, fall back to C_GetFunctionList,
// copy the table.  Every early return drops `library`, which unloads the
// module before the failure reaches the caller.
//
// Two answers are not covered by the PKCS#11 contract and are settled here:
//  - C_GetInterface answers CKR_OK with an interface whose function list is
//    null: the interface is unusable, so it is treated like a null interface
//    and C_GetFunctionList is tried.
//  - C_GetFunctionList answers CKR_OK with a null list: there is nothing else
//    to try, so loading fails with InvalidResponse(GetFunctionList).
// Neither null pointer is ever read through.
Result<ModuleRef> load_module(const std::filesystem::path& path) {
  std::expected<platform::DynamicLibrary, platform::LibraryLoadFailure> opened =
      platform::DynamicLibrary::open(path);
  if (!opened) {
    const std::optional<std::uint32_t>& code = opened.error().os_code;
    if (code && *code != 0) return std::unexpected(BindingError{LoaderFailed{LoadFailed{*code}}});
    return std::unexpected(BindingError{LoaderFailed{LoadFailedUnreported{}}});
  }
  platform::DynamicLibrary library = std::move(*opened);

  // Every name is looked up and recorded; none is required at this point.
  std::array<EntryPointLookup, FUNCTION_COUNT> lookups;
  for (std::size_t i = 0; i < FUNCTION_COUNT; ++i) {
    lookups[i] = library.symbol(ENTRY_POINT_SYMBOLS[i]);
  }

  if (platform::GenericFunction address = found(lookups, Function::GetInterface)) {
    ck::CK_C_GetInterface get_interface = platform::function_cast<ck::CK_C_GetInterface>(address);
    ck::CK_INTERFACE* default_interface = nullptr;
    Result<void> called =
        check_call(get_interface(nullptr, nullptr, &default_interface, 0), Function::GetInterface);
    if (!called) return std::unexpected(called.error());
    const void* list = default_interface != nullptr ? default_interface->pFunctionList : nullptr;
    if (list != nullptr) {
      ck::CK_VERSION version;
      std::memcpy(&version, list, sizeof version);
      if (version.major >= 3) {
        FunctionTable table =
            version.minor >= 2
                ? copy_function_list(list, TableLayout::V3_2, ck::FUNCTION_LIST_3_2_ENTRIES)
                : copy_function_list(list, TableLayout::V3_0, ck::FUNCTION_LIST_3_0_ENTRIES);
        return ModuleRef(new ModuleContext(std::move(library), lookups, table));
      }
    }
  }

  if (platform::GenericFunction address = found(lookups, Function::GetFunctionList)) {
    ck::CK_C_GetFunctionList get_function_list =
        platform::function_cast<ck::CK_C_GetFunctionList>(address);
    ck::CK_FUNCTION_LIST_HEAD* list = nullptr;
    Result<void> called = check_call(get_function_list(&list), Function::GetFunctionList);
    if (!called) return std::unexpected(called.error());
    if (list == nullptr)
      return std::unexpected(
          BindingError{InvalidResponse{Function::GetFunctionList, "null function list"}});
    FunctionTable table =
        copy_function_list(list, TableLayout::V2_40, ck::FUNCTION_LIST_2_40_ENTRIES);
    return ModuleRef(new ModuleContext(std::move(library), lookups, table));
  }

  return std::unexpected(BindingError{MissingEntryPoint{"C_GetFunctionList"}});
}

Result<void> initialize_module(const ModuleContext& module) {
  Result<ck::CK_C_Initialize> initialize = typed_entry_point<Function::Initialize>(module);
  if (!initialize) return std::unexpected(initialize.error());
  // No mutex callbacks: the module may use the operating system's locking.
  ck::CK_C_INITIALIZE_ARGS args{};
  args.CreateMutex = nullptr;
  args.DestroyMutex = nullptr;
  args.LockMutex = nullptr;
  args.UnlockMutex = nullptr;
  args.flags = ck::CKF_OS_LOCKING_OK;
  args.pReserved = nullptr;
  const ck::CK_RV rv = (*initialize)(&args);
  // A module that cannot use the operating system's locking (CKR_CANT_LOCK)
  // is asked once more with no argument at all, which promises a single
  // thread: this program makes one call at a time from one thread.  Whatever
  // the second call answers is final.
  if (rv == ck::CKR_CANT_LOCK) return check_call((*initialize)(nullptr), Function::Initialize);
  // CKR_CRYPTOKI_ALREADY_INITIALIZED is a failure like any other: another
  // user of the module in this process could finalise it under our feet.
  return check_call(rv, Function::Initialize);
}

Result<platform::GenericFunction> entry_point(const ModuleContext& module, Function function) {
  platform::GenericFunction entry = module.table().entries[index_of(function)];
  if (entry == nullptr) return std::unexpected(BindingError{NullEntryPoint{}});
  return entry;
}

}  // namespace mirandel::pkcs11
