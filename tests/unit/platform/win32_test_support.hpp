// Shared helpers of the Windows platform tests.
#pragma once

#include <windows.h>

#include <filesystem>
#include <random>
#include <string>

namespace mirandel::platform::testing_win32 {

/// The directory of the running test executable.
inline std::filesystem::path executable_directory() {
  std::wstring buffer(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(length);
  return std::filesystem::path(buffer).parent_path();
}

/// A fresh directory whose name holds blanks and non-ASCII letters; removed
/// when the object goes.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::wstring& stem) {
    path_ = std::filesystem::temp_directory_path() / (L"mirandel " + stem + L" Citt\u00e0 \u00e8 " +
                                                      std::to_wstring(std::random_device{}()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace mirandel::platform::testing_win32
