// dlopen / dlsym / dlclose behind the library-loading interface.

#include <dlfcn.h>

#include "platform/dynamic_library.hpp"
#include "platform/signal_dispositions.hpp"

namespace mirandel::platform {

namespace {

// dlopen reports its failures only as text (dlerror), never as a number.  A
// fixed non-zero code stands in for the missing one, so that a failed load
// reads the same as a failed LoadLibraryExW with an error code on Windows.
constexpr std::uint32_t DLOPEN_FAILURE_CODE = 1;

/// dlclose, result ignored: there is nobody to tell at unload time.
void unload(void* handle) noexcept {
  HeldSignals held;
  static_cast<void>(::dlclose(handle));
  restore_signal_dispositions();
}

}  // namespace

std::expected<DynamicLibrary, LibraryLoadFailure> DynamicLibrary::open(
    const std::filesystem::path& path) {
  // The native path bytes, exactly as given: no conversion, no search of our own.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return std::unexpected(LibraryLoadFailure{DLOPEN_FAILURE_CODE});
  return DynamicLibrary(handle);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) {
  other.handle_ = nullptr;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) unload(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_ != nullptr) unload(handle_);
}

std::expected<GenericFunction, SymbolLookupFailure> DynamicLibrary::symbol(const char* name) const {
  if (handle_ == nullptr) return std::unexpected(SymbolLookupFailure{std::nullopt});
  // dlsym gives no numeric code.  A symbol whose value is null counts as not
  // found: an entry point at address 0 could not be called anyway.
  void* address = ::dlsym(handle_, name);
  if (address == nullptr) return std::unexpected(SymbolLookupFailure{std::nullopt});
  // POSIX guarantees that a data pointer from dlsym converts to a function pointer.
  return reinterpret_cast<GenericFunction>(address);
}

}  // namespace mirandel::platform
