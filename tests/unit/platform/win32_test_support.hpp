// Shared helpers of the Windows platform tests.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "test_files.hpp"

namespace mirandel::platform::testing_win32 {

inline std::filesystem::path executable_directory() {
  std::wstring buffer(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return std::filesystem::path(buffer).parent_path();
}

/// A fresh directory whose name holds blanks and non-ASCII letters, so that
/// every path under it needs the wide APIs.
class ScratchDirectory : public test::TempDir {
 public:
  explicit ScratchDirectory(const std::wstring& stem)
      : TempDir(L"mirandel " + stem + L" Citt\u00e0 \u00e8 ") {}
};

}  // namespace mirandel::platform::testing_win32
