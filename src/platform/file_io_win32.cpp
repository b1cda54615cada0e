// Whole-file reading and writing with the wide Win32 file API.

#include "platform/file_io.hpp"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <utility>

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

/// How long an open refused because another writer holds the file is
/// tried again, in steps of SHARING_RETRY_STEP_MS. Another run holds it for
/// the few milliseconds of its write.
constexpr DWORD SHARING_RETRY_MS = 1000;
constexpr DWORD SHARING_RETRY_STEP_MS = 5;

/// Opens `path` for writing (and `extra_access`), shared for reading and
/// deleting but not for writing: a caller watching, reading or replacing
/// the file is never locked out, while another run writing the same file
/// waits until this one has closed it. Refused because a writer holds it,
/// the open is tried again for up to SHARING_RETRY_MS; a writer still there
/// by then is the caller's own handle (Python's NamedTemporaryFile, a
/// FileStream shared for writing), and the file is opened shared for
/// writing, as devices and pipes (`shared_writing`) always are.
HANDLE open_for_writing(const std::filesystem::path& path, DWORD disposition,
                        DWORD extra_access = 0, bool shared_writing = false) {
  const auto open = [&](DWORD share) {
    return CreateFileW(path.c_str(), GENERIC_WRITE | extra_access, share, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  constexpr DWORD ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (shared_writing) return open(ALL);
  for (DWORD waited = 0;; waited += SHARING_RETRY_STEP_MS) {
    HANDLE file = open(FILE_SHARE_READ | FILE_SHARE_DELETE);
    if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) return file;
    if (waited >= SHARING_RETRY_MS) return open(ALL);
    Sleep(SHARING_RETRY_STEP_MS);
  }
}

/// Opens `path` itself with `disposition` and writes it. An existing file
/// on a disk is truncated here rather than by the disposition: it keeps its
/// attributes, streams and identity, and a hidden file opens as well. With
/// CREATE_NEW the file is ours, and a failed write deletes it again before
/// anyone else can open it for writing. When the open fails, its error goes
/// to `open_error` (if given).
bool write_in_place(const std::filesystem::path& path, DWORD disposition, std::string_view bytes,
                    DWORD* open_error = nullptr) {
  const bool ours = disposition == CREATE_NEW;
  // CREATE_ALWAYS is what anything but a file on a disk is opened with.
  FileHandle file(
      open_for_writing(path, disposition, ours ? DELETE : 0, disposition == CREATE_ALWAYS));
  if (open_error) *open_error = file.valid() ? ERROR_SUCCESS : GetLastError();
  if (!file.valid()) return false;
  const bool complete = (GetFileType(file.get()) != FILE_TYPE_DISK || SetEndOfFile(file.get())) &&
                        win32::write_all(file.get(), bytes);
  if (!complete && ours) {
    FILE_DISPOSITION_INFO remove{};
    remove.DeleteFile = TRUE;
    static_cast<void>(
        SetFileInformationByHandle(file.get(), FileDispositionInfo, &remove, sizeof remove));
  }
  return complete;
}

/// `full` in the \\?\ form, which the 260-character limit does not apply
/// to; unchanged when it is not a full path.
std::wstring long_form(const std::wstring& full) {
  const bool on_drive = full.size() >= 3 && full[1] == L':' && full[2] == L'\\';
  if (!on_drive && !full.starts_with(L"\\\\")) return full;
  if (full.starts_with(L"\\\\?\\") || full.starts_with(L"\\\\.\\")) return full;
  if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

enum class TargetKind {
  Missing,      ///< nothing there yet (or no such folder)
  RegularFile,  ///< a file on a disk
  Other,        ///< a device, a pipe, a directory, a link or anything unknown
};

/// What `path` names, found without opening anything that has a side effect
/// when opened (a pipe would be connected, a device woken).
TargetKind kind_of(const std::filesystem::path& path) {
  // Reserved names (NUL, CON, COM1...) become \\.\NUL and the like, as do
  // local pipes; a remote pipe is \\server\pipe\name.
  DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return TargetKind::Other;
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return TargetKind::Other;
  full.resize(length);
  if (full.starts_with(L"\\\\.\\")) return TargetKind::Other;
  if (full.starts_with(L"\\\\") && !full.starts_with(L"\\\\?\\")) {
    std::size_t server_end = full.find(L'\\', 2);
    if (server_end != std::wstring::npos && full.size() - server_end >= 6 &&
        CompareStringOrdinal(full.c_str() + server_end, 6, L"\\pipe\\", 6, TRUE) == CSTR_EQUAL)
      return TargetKind::Other;
  }

  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? TargetKind::Missing
                                                                          : TargetKind::Other;
  }
  if (attributes &
      (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE))
    return TargetKind::Other;
  // Opening for its attributes only reads nothing and conflicts with no one.
  FileHandle query(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!query.valid() || GetFileType(query.get()) != FILE_TYPE_DISK) return TargetKind::Other;
  return TargetKind::RegularFile;
}

/// A same-folder name no other run picks: our process id and a counter,
/// stirred with the clock, in hexadecimal, behind a dot.
std::filesystem::path temporary_name(const std::filesystem::path& folder, unsigned attempt) {
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  std::uint64_t stir = static_cast<std::uint64_t>(now.QuadPart) * 0x9E3779B97F4A7C15ull ^ attempt;
  wchar_t name[64];
  swprintf(name, 64, L".mirandel-pkcs11-helper.%lu.%08x.tmp",
           static_cast<unsigned long>(GetCurrentProcessId()), static_cast<unsigned>(stir >> 32));
  return folder / name;
}

/// Writes a file that does not exist yet: under a temporary name beside it
/// (created exclusively), then moved into place, so that nobody finds it
/// partial. Only our own temporary file is ever deleted. Both are named in
/// the \\?\ form, so a temporary name past 260 characters works wherever
/// the target does. When the folder takes no new file or the move is
/// refused, the target is created directly instead, and deleted again when
/// its write fails; should another run create it first, theirs is written
/// in place.
bool create_new(const std::filesystem::path& path, std::string_view bytes) {
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : L".";
  const auto create_directly = [&] {
    DWORD open_error = ERROR_SUCCESS;
    if (write_in_place(path, CREATE_NEW, bytes, &open_error)) return true;
    return (open_error == ERROR_FILE_EXISTS || open_error == ERROR_ALREADY_EXISTS) &&
           write_in_place(path, OPEN_EXISTING, bytes);
  };
  const std::filesystem::path target = long_form(path.native());
  std::filesystem::path temporary;
  HANDLE created = INVALID_HANDLE_VALUE;
  DWORD error = ERROR_SUCCESS;
  for (unsigned attempt = 0; created == INVALID_HANDLE_VALUE && attempt < 64; ++attempt) {
    temporary = long_form(temporary_name(folder, attempt).native());
    created = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    error = created == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  if (created == INVALID_HANDLE_VALUE) {
    return (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT ||
            error == ERROR_FILENAME_EXCED_RANGE) &&
           create_directly();
  }
  bool complete;
  {
    // Nothing is flushed: the caller reads the document the moment we exit.
    FileHandle file(created);
    complete = win32::write_all(file.get(), bytes);
  }
  if (complete && MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
    return true;
  error = GetLastError();
  DeleteFileW(temporary.c_str());
  return complete &&
         (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
          error == ERROR_NOT_SAME_DEVICE) &&
         create_directly();
}

}  // namespace

/// The full path, fixed now against the working directory (and the drive's
/// current folder for a path like D:name); the path as given if that fails.
OutputFile::OutputFile(const std::filesystem::path& path) : path_(path) {
  if (path.empty()) return;
  DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return;
  std::wstring full(needed, L'\0');
  DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return;
  full.resize(length);
  path_ = full;
}

OutputFile::~OutputFile() = default;

OutputFile::OutputFile(OutputFile&& other) noexcept
    : path_(std::move(other.path_)), folder_(other.folder_) {}

bool write_file(const OutputFile& output, std::string_view bytes) {
  const std::filesystem::path& path = output.path();
  if (path.empty()) return false;
  switch (kind_of(path)) {
    case TargetKind::Missing:
      return create_new(path, bytes);
    case TargetKind::RegularFile: {
      // Written in place, so it stays the caller's file; should it have
      // gone meanwhile, it is made anew.
      DWORD open_error = ERROR_SUCCESS;
      if (write_in_place(path, OPEN_EXISTING, bytes, &open_error)) return true;
      return open_error == ERROR_FILE_NOT_FOUND && create_new(path, bytes);
    }
    case TargetKind::Other:
      break;
  }
  return write_in_place(path, CREATE_ALWAYS, bytes);
}

bool read_file(const std::filesystem::path& path, SecretBytes& out) {
  if (path.empty()) return false;
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  return win32::read_all(file.get(), out);
}

}  // namespace mirandel::platform
