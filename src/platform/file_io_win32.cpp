// Whole-file reading and writing with the wide Win32 file API.

#include "platform/file_io.hpp"

#include <windows.h>

#include "platform/io_win32.hpp"

namespace mirandel::platform {

namespace {

// Closes the handle on every way out.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) noexcept : handle_(handle) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (valid()) CloseHandle(handle_);
  }
  bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
  HANDLE get() const noexcept { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

bool write_file(const std::filesystem::path& path, std::string_view bytes) {
  if (path.empty()) return false;
  // Shared for reading, writing and deleting, so that a caller watching or
  // replacing the file is never locked out; CREATE_ALWAYS truncates an
  // existing file, so nothing of older contents survives.
  FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  return win32::write_all(file.get(), bytes);
}

bool read_file(const std::filesystem::path& path, SecretBytes& out) {
  if (path.empty()) return false;
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  return win32::read_all(file.get(), out);
}

}  // namespace mirandel::platform
