// Whole-buffer reads and writes on Win32 handles, shared by the file and
// console code. Internal to the Windows platform files.
#pragma once

#include <string_view>

#include "secret.hpp"

namespace mirandel::platform::win32 {

/// Writes all of `bytes` to `handle` (a HANDLE) with WriteFile, in pieces
/// that fit a DWORD. False on the first failed write, or on a write that
/// makes no progress.
bool write_all(void* handle, std::string_view bytes);

/// Appends everything `handle` yields up to its end to `out` with ReadFile.
/// A broken pipe is the end of a pipe's data, not a failure.
bool read_all(void* handle, SecretBytes& out);

}  // namespace mirandel::platform::win32
