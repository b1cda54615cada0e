// The standard streams around a foreign module, on Windows: the standard
// handles and the C runtime's descriptors 0 to 2.
#include "platform/standard_streams.hpp"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "platform/io_win32.hpp"

namespace mirandel::platform {

namespace {

/// Set once by guard_standard_streams, before any module code runs.
struct Streams {
  bool guarded = false;
  HANDLE document = nullptr;  ///< our own handle on the real standard output, or null
};
Streams g_streams;

constexpr DWORD STANDARD_HANDLES[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};

/// Whether `handle` names something open: a caller may pass none, or a value
/// that was never a handle.
bool is_open(HANDLE handle) noexcept {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  SetLastError(NO_ERROR);
  return GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR;
}

HANDLE open_null_device(bool input) noexcept {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  return CreateFileW(L"NUL", input ? GENERIC_READ : GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

/// Gives C runtime descriptor `fd` the null device when it has no handle,
/// so that no file a module opens through the same runtime becomes it.
void fill_runtime_descriptor(int fd) noexcept {
  intptr_t current = _get_osfhandle(fd);
  if (current != -1 && current != -2 && is_open(reinterpret_cast<HANDLE>(current))) return;
  int null = _open("NUL", (fd == 0 ? _O_RDONLY : _O_WRONLY) | _O_BINARY);
  if (null < 0) return;
  if (null != fd) {
    _dup2(null, fd);
    _close(null);
  }
}

}  // namespace

void guard_standard_streams() noexcept {
  bool stdout_was_open = true;
  for (int i = 0; i < 3; ++i) {
    if (is_open(GetStdHandle(STANDARD_HANDLES[i]))) continue;
    if (STANDARD_HANDLES[i] == STD_OUTPUT_HANDLE) stdout_was_open = false;
    HANDLE null = open_null_device(i == 0);
    if (null != INVALID_HANDLE_VALUE) SetStdHandle(STANDARD_HANDLES[i], null);
  }
  for (int fd = 0; fd < 3; ++fd) fill_runtime_descriptor(fd);

  // Our own handle first: pointing descriptor 1 elsewhere closes the handle
  // it held, which is usually the standard output handle itself.
  HANDLE real_stdout = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(),
                       &real_stdout, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return;  // keep writing to the standard handle
  // Anything the runtime holds for descriptor 1 goes out before it moves.
  std::fflush(stdout);
  _dup2(2, 1);
  SetStdHandle(STD_OUTPUT_HANDLE, GetStdHandle(STD_ERROR_HANDLE));
  g_streams.guarded = true;
  // A caller that gave no standard output gets no document there: writing
  // it to NUL would look like a delivery.
  if (stdout_was_open) {
    g_streams.document = real_stdout;
  } else {
    CloseHandle(real_stdout);
  }
}

namespace win32 {

void* document_output() noexcept {
  if (g_streams.guarded) return g_streams.document;
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  return out == INVALID_HANDLE_VALUE ? nullptr : out;
}

}  // namespace win32

}  // namespace mirandel::platform
