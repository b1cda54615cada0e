// Loading the vendor module with the Windows loader.

#include "platform/dynamic_library.hpp"

#include <windows.h>

#include <utility>

#include "platform/module_path_win32.hpp"
#include "platform/pe_image_win32.hpp"
#include "platform/signal_dispositions.hpp"

namespace mirandel::platform {

namespace {

HMODULE as_module(void* handle) noexcept { return static_cast<HMODULE>(handle); }

/// FreeLibrary, result ignored: nothing could be done about a failed unload.
void unload(void* handle) noexcept {
  HeldSignals held;
  static_cast<void>(FreeLibrary(as_module(handle)));
  restore_signal_dispositions();
}

}  // namespace

std::expected<DynamicLibrary, LibraryLoadFailure> DynamicLibrary::open(
    const std::filesystem::path& path) {
  // A vendor module often sits in a folder of its own beside the DLLs it
  // imports, and flags 0 would not look there for them. A fully qualified
  // path is loaded with the module's folder in place of the program's in the
  // search for its imports. Any other path keeps flags 0 and the default
  // search order: the altered search is undefined for relative paths.
  const win32::ModuleLoadCall call = win32::module_load_call(path.native());
  const DWORD flags = call.altered_search_path ? LOAD_WITH_ALTERED_SEARCH_PATH : 0;

  // A missing or broken module must never make Windows put up a dialog box
  // and wait for a user who is not there: critical errors are failed
  // instead, for this thread and for the time of the load only.
  DWORD previous = 0;
  BOOL mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous);

  HMODULE module = LoadLibraryExW(call.path.c_str(), nullptr, flags);
  // Read at once: restoring the error mode below may change it.
  DWORD load_error = module ? 0 : GetLastError();

  // When the mode was already exactly SEM_FAILCRITICALERRORS there is
  // nothing to give back; when it could not be set it was never changed.
  if (mode_set && previous != SEM_FAILCRITICALERRORS) SetThreadErrorMode(previous, nullptr);

  if (!module) {
    LibraryLoadFailure failure;
    if (load_error != 0) failure.os_code = static_cast<std::uint32_t>(load_error);
    // A module built for the other processor fails like a missing file
    // (ERROR_BAD_EXE_FORMAT); its header says which program could load it.
    failure.foreign_machine = win32::foreign_image_machine(call.path);
    return std::unexpected(failure);
  }
  return DynamicLibrary(static_cast<void*>(module));
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_) unload(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_) unload(handle_);
}

std::expected<GenericFunction, SymbolLookupFailure> DynamicLibrary::symbol(const char* name) const {
  // A null handle would make GetProcAddress search the executable itself.
  if (!handle_) return std::unexpected(SymbolLookupFailure{ERROR_INVALID_HANDLE});
  FARPROC address = GetProcAddress(as_module(handle_), name);
  if (!address) {
    DWORD code = GetLastError();
    SymbolLookupFailure failure;
    if (code != 0) failure.os_code = static_cast<std::uint32_t>(code);
    return std::unexpected(failure);
  }
  return reinterpret_cast<GenericFunction>(address);
}

}  // namespace mirandel::platform
