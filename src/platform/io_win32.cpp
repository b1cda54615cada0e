// Whole-buffer reads and writes on Win32 handles.

#include "platform/io_win32.hpp"

#include <windows.h>

#include <algorithm>
#include <cstddef>

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
  for (;;) {
    std::uint8_t* place = out.prepare(READ_CHUNK);
    DWORD got = 0;
    if (!ReadFile(static_cast<HANDLE>(handle), place, static_cast<DWORD>(READ_CHUNK), &got,
                  nullptr)) {
      // The writer of a pipe closing its end is how a pipe's data ends.
      return GetLastError() == ERROR_BROKEN_PIPE;
    }
    if (got == 0) return true;
    out.commit(std::min<std::size_t>(got, READ_CHUNK));
  }
}

}  // namespace mirandel::platform::win32
