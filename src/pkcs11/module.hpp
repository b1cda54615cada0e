// The loaded vendor module: its library, the 104 entry-point lookups and the
// copy of its function table, shared by the run and its sessions.
#pragma once

#include <array>
#include <cstddef>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/errors.hpp"
#include "platform/dynamic_library.hpp"

namespace mirandel::pkcs11 {

/// A copy of the module's function list, taken once while loading. Entries the
/// layout does not have are null.
struct FunctionTable {
  TableLayout layout = TableLayout::V2_40;
  ck::CK_VERSION version{};
  std::array<platform::GenericFunction, FUNCTION_COUNT> entries{};
};

using EntryPointLookup = std::expected<platform::GenericFunction, platform::SymbolLookupFailure>;

/// The loaded module: its library, what the lookups found and the copied
/// table. Created by load_module; owned through ModuleRef. Destroying it is
/// the module's teardown: C_Finalize (only after a successful C_Initialize,
/// result ignored, skipped when the entry is null), then the unload, which
/// puts back the signal dispositions of the start.
class ModuleContext {
 public:
  ModuleContext(platform::DynamicLibrary library,
                std::array<EntryPointLookup, FUNCTION_COUNT> lookups, FunctionTable table)
      : library_(std::move(library)), lookups_(lookups), table_(table) {}
  ModuleContext(const ModuleContext&) = delete;
  ModuleContext& operator=(const ModuleContext&) = delete;
  ~ModuleContext();

  const FunctionTable& table() const noexcept { return table_; }
  const std::array<EntryPointLookup, FUNCTION_COUNT>& lookups() const noexcept { return lookups_; }

 private:
  friend Result<void> initialize_module(const ModuleContext& module);

  platform::DynamicLibrary library_;
  std::array<EntryPointLookup, FUNCTION_COUNT> lookups_;
  FunctionTable table_;
  /// Set by initialize_module once C_Initialize has succeeded; the one part
  /// of the context that changes after loading.
  mutable bool initialized_ = false;
};

/// A counted reference to the loaded module. Each session holds one, so the
/// library stays loaded while any session may still call into it; dropping
/// the last destroys the context, which finalises and unloads the module.
using ModuleRef = std::shared_ptr<const ModuleContext>;

/// Loads the module at `path` (as DynamicLibrary::open does: unchanged on
/// POSIX; on Windows a fully qualified path gets backslashes and the module's
/// own folder on the search path), looks up the 104 names, and copies the
/// function table through C_GetInterface or C_GetFunctionList. Makes no other
/// call into the module. When the library opened but could not be bound, it
/// is handed to `kept_on_failure` if given, so that the caller chooses when
/// it is unloaded; otherwise it is unloaded before this returns.
Result<ModuleRef> load_module(const std::filesystem::path& path,
                              std::optional<platform::DynamicLibrary>* kept_on_failure = nullptr);

/// C_Initialize with CKF_OS_LOCKING_OK and no mutex callbacks; when the module
/// answers CKR_CANT_LOCK, C_Initialize once more with a null argument. On
/// success the context will call C_Finalize when it is destroyed.
Result<void> initialize_module(const ModuleContext& module);

/// The table entry of `function`, or NullEntryPoint when it is null.
Result<platform::GenericFunction> entry_point(const ModuleContext& module, Function function);

/// The typed entry points of the calls this program makes.
template <Function F>
struct EntryPointType;
#define MIRANDEL_ENTRY_POINT_TYPE(name)   \
  template <>                             \
  struct EntryPointType<Function::name> { \
    using type = ck::CK_C_##name;         \
  }
MIRANDEL_ENTRY_POINT_TYPE(Initialize);
MIRANDEL_ENTRY_POINT_TYPE(Finalize);
MIRANDEL_ENTRY_POINT_TYPE(GetSlotList);
MIRANDEL_ENTRY_POINT_TYPE(GetSlotInfo);
MIRANDEL_ENTRY_POINT_TYPE(GetTokenInfo);
MIRANDEL_ENTRY_POINT_TYPE(OpenSession);
MIRANDEL_ENTRY_POINT_TYPE(CloseSession);
MIRANDEL_ENTRY_POINT_TYPE(FindObjectsInit);
MIRANDEL_ENTRY_POINT_TYPE(FindObjects);
MIRANDEL_ENTRY_POINT_TYPE(FindObjectsFinal);
MIRANDEL_ENTRY_POINT_TYPE(GetAttributeValue);
MIRANDEL_ENTRY_POINT_TYPE(Login);
MIRANDEL_ENTRY_POINT_TYPE(Logout);
MIRANDEL_ENTRY_POINT_TYPE(SignInit);
MIRANDEL_ENTRY_POINT_TYPE(Sign);
#undef MIRANDEL_ENTRY_POINT_TYPE

/// entry_point, typed: fetch immediately before each call.
template <Function F>
Result<typename EntryPointType<F>::type> typed_entry_point(const ModuleContext& module) {
  // GCC 12's std::expected has no monadic operations: unwrap by hand.
  Result<platform::GenericFunction> entry = entry_point(module, F);
  if (!entry) return std::unexpected(entry.error());
  return platform::function_cast<typename EntryPointType<F>::type>(*entry);
}

}  // namespace mirandel::pkcs11
