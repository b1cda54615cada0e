// Loading the vendor module, copying its function table and initialising it.

#include "pkcs11/module.hpp"

#include <cstring>
#include <utility>

namespace mirandel::pkcs11 {

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

FunctionTable copy_function_list(const void* list, TableLayout layout) {
  FunctionTable table;
  table.layout = layout;
  const unsigned char* bytes = static_cast<const unsigned char*>(list);
  std::memcpy(&table.version, bytes, sizeof(ck::CK_VERSION));
  for (std::size_t i = 0; i < entries_in(layout); ++i)
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
namespace {

/// Looks up the names and copies the function table of the opened `library`,
/// which the context takes on success and which stays with the caller on
/// failure.
Result<ModuleRef> bind_module(platform::DynamicLibrary& library) {
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
            copy_function_list(list, version.minor >= 2 ? TableLayout::V3_2 : TableLayout::V3_0);
        return std::make_shared<ModuleContext>(std::move(library), lookups, table);
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
    FunctionTable table = copy_function_list(list, TableLayout::V2_40);
    return std::make_shared<ModuleContext>(std::move(library), lookups, table);
  }

  return std::unexpected(BindingError{MissingEntryPoint{"C_GetFunctionList"}});
}

}  // namespace

Result<ModuleRef> load_module(const std::filesystem::path& path,
                              std::optional<platform::DynamicLibrary>* kept_on_failure) {
  std::expected<platform::DynamicLibrary, platform::LibraryLoadFailure> opened =
      platform::DynamicLibrary::open(path);
  if (!opened) {
    const std::optional<std::uint32_t>& code = opened.error().os_code;
    LoaderFailed failed{LoadFailedUnreported{}, opened.error().foreign_machine};
    if (code && *code != 0) failed.error = LoadFailed{*code};
    return std::unexpected(BindingError{failed});
  }
  Result<ModuleRef> module = bind_module(*opened);
  if (!module && kept_on_failure != nullptr) kept_on_failure->emplace(std::move(*opened));
  return module;
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
  ck::CK_RV rv = (*initialize)(&args);
  // A module that cannot use the operating system's locking (CKR_CANT_LOCK)
  // is asked once more with no argument at all, which promises a single
  // thread: this program makes one call at a time from one thread.  Whatever
  // the second call answers is final.
  if (rv == ck::CKR_CANT_LOCK) rv = (*initialize)(nullptr);
  // CKR_CRYPTOKI_ALREADY_INITIALIZED is a failure like any other: another
  // user of the module in this process could finalise it under our feet.
  Result<void> initialized = check_call(rv, Function::Initialize);
  if (initialized) module.initialized_ = true;
  return initialized;
}

ModuleContext::~ModuleContext() {
  // C_Finalize is where a module stops the threads it started and puts back
  // what it changed in the process; a thread still running when its code is
  // unmapped would crash the run.  A module that was never initialised has
  // nothing to finalise.  What it answers changes nothing: the run is over.
  // The library is unloaded after this, when library_ is destroyed.
  if (!initialized_) return;
  if (Result<ck::CK_C_Finalize> finalize = typed_entry_point<Function::Finalize>(*this))
    static_cast<void>((*finalize)(nullptr));
}

Result<platform::GenericFunction> entry_point(const ModuleContext& module, Function function) {
  platform::GenericFunction entry = module.table().entries[index_of(function)];
  if (entry == nullptr) return std::unexpected(BindingError{NullEntryPoint{}});
  return entry;
}

}  // namespace mirandel::pkcs11
