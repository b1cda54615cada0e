// Loading the vendor module with the Windows loader.

#include "platform/dynamic_library.hpp"

#include <windows.h>

#include <utility>

namespace mirandel::platform {

namespace {

HMODULE as_module(void* handle) noexcept { return static_cast<HMODULE>(handle); }

}  // namespace

std::expected<DynamicLibrary, LibraryLoadFailure> DynamicLibrary::open(
    const std::filesystem::path& path) {
  // A missing or broken module must never make Windows put up a dialog box
  // and wait for a user who is not there: critical errors are failed
  // instead, for this thread and for the time of the load only.
  DWORD previous = 0;
  BOOL mode_set = SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous);

  // The path's native form is already NUL-terminated UTF-16.
  HMODULE module = LoadLibraryExW(path.c_str(), nullptr, 0);
  // Read at once: restoring the error mode below may change it.
  DWORD load_error = module ? 0 : GetLastError();

  // When the mode was already exactly SEM_FAILCRITICALERRORS there is
  // nothing to give back; when it could not be set it was never changed.
  if (mode_set && previous != SEM_FAILCRITICALERRORS) SetThreadErrorMode(previous, nullptr);

  if (!module) {
    LibraryLoadFailure failure;
    if (load_error != 0) failure.os_code = static_cast<std::uint32_t>(load_error);
    return std::unexpected(failure);
  }
  return DynamicLibrary(static_cast<void*>(module));
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_) FreeLibrary(as_module(handle_));
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  // The result is of no use: nothing could be done about a failed unload.
  if (handle_) FreeLibrary(as_module(handle_));
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
