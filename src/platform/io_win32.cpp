// Whole-buffer reads and writes on Win32 handles.

#include "platform/io_win32.hpp"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace mirandel::platform::win32 {

namespace {

// One WriteFile or ReadFile moves at most this much: it counts in DWORD,
// and a console or pipe takes large requests badly anyway.
constexpr std::size_t CHUNK = std::size_t{1} << 20;
constexpr std::size_t READ_CHUNK = 64 * 1024;

}  // namespace

bool write_all(void* handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD wanted = static_cast<DWORD>(std::min(bytes.size(), CHUNK));
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(handle), bytes.data(), wanted, &written, nullptr))
      return false;
    if (written == 0) {
      // A pipe in non-blocking mode (PIPE_NOWAIT) takes nothing while it is
      // full, and says so by success with nothing written; once its reader
      // has gone the write fails instead. Anything else that moves nothing
      // would loop forever.
      if (GetFileType(static_cast<HANDLE>(handle)) != FILE_TYPE_PIPE) return false;
      Sleep(1);
      continue;
    }
    bytes.remove_prefix(std::min<std::size_t>(written, bytes.size()));
  }
  return true;
}

bool read_all(void* handle, SecretBytes& out) {
  // A disk file says how long it is: room for all of it plus one byte, so
  // that the read meeting the end finds room and nothing is regrown.
  // Anything else (a pipe, a console) grows as it comes.
  LARGE_INTEGER known{};
  if (GetFileType(static_cast<HANDLE>(handle)) == FILE_TYPE_DISK &&
      GetFileSizeEx(static_cast<HANDLE>(handle), &known) && known.QuadPart > 0 &&
      static_cast<unsigned long long>(known.QuadPart) < SIZE_MAX / 2) {
    out.reserve(out.size() + static_cast<std::size_t>(known.QuadPart) + 1);
  }
  for (;;) {
    std::uint8_t* place = out.prepare(out.spare() == 0 ? READ_CHUNK : 0);
    const DWORD wanted = static_cast<DWORD>(std::min(out.spare(), CHUNK));
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(handle), place, wanted, &got, nullptr)) {
      // The writer of a pipe closing its end is how a pipe's data ends.
      return GetLastError() == ERROR_BROKEN_PIPE;
    }
    if (got == 0) return true;
    out.commit(std::min<std::size_t>(got, wanted));
  }
}

}  // namespace mirandel::platform::win32
