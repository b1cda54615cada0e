// Loading a shared library and looking up its exports: LoadLibraryExW and
// GetProcAddress on Windows, dlopen and dlsym elsewhere.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>

namespace mirandel::platform {

/// An exported function's address, untyped. Cast with function_cast.
using GenericFunction = void (*)();

/// The PE Machine values of the two processors the program is built for.
inline constexpr std::uint16_t PE_MACHINE_X86 = 0x014C;
inline constexpr std::uint16_t PE_MACHINE_X64 = 0x8664;

/// Why a library did not load. `os_code` is GetLastError on Windows; on POSIX
/// dlopen gives no code, and a stand-in non-zero code is reported so that
/// both platforms render the same text.
struct LibraryLoadFailure {
  std::optional<std::uint32_t> os_code;  ///< nullopt: the system reported no code
  /// Windows: the PE Machine value of a module file built for another
  /// processor than this program's (an x86 DLL for the x64 program, or the
  /// reverse). Never set on POSIX.
  std::optional<std::uint16_t> foreign_machine = std::nullopt;
};

/// Why a symbol lookup failed (recorded, never shown).
struct SymbolLookupFailure {
  std::optional<std::uint32_t> os_code;
};

/// A loaded library; unloaded (FreeLibrary / dlclose, result ignored) when
/// destroyed. Every unload puts back the signal dispositions recorded at
/// start (signal_dispositions.hpp), with signals held back until then, so
/// that no handler the library installed can run once its code is gone.
/// Move-only; a moved-from object holds nothing.
class DynamicLibrary {
 public:
  /// Loads the library at `path`, passed to the OS unchanged, except that on
  /// Windows a fully qualified path is loaded with LOAD_WITH_ALTERED_SEARCH_PATH
  /// and its forward slashes turned into backslashes, so that the DLLs the
  /// library imports are looked for in its own folder. On Windows the thread
  /// error mode suppresses critical-error dialogs during the load.
  static std::expected<DynamicLibrary, LibraryLoadFailure> open(const std::filesystem::path& path);

  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  ~DynamicLibrary();

  /// Looks up `name` (NUL-terminated ASCII).
  std::expected<GenericFunction, SymbolLookupFailure> symbol(const char* name) const;

 private:
  explicit DynamicLibrary(void* handle) noexcept : handle_(handle) {}
  void* handle_ = nullptr;
};

/// The one place where an untyped function address becomes a typed one.
template <typename Fn>
Fn function_cast(GenericFunction f) noexcept {
  return reinterpret_cast<Fn>(f);
}

}  // namespace mirandel::platform
