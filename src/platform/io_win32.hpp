// Whole-buffer reads and writes on Win32 handles, shared by the file and
// console code. Internal to the Windows platform files.
#pragma once

#include <string_view>

#include "secret.hpp"

namespace mirandel::platform::win32 {

/// Writes all of `bytes` to `handle` (a HANDLE) with WriteFile, in pieces
/// that fit a DWORD. A pipe in non-blocking mode that takes nothing is
/// waited on and written again. False on the first failed write, or on a
/// write to anything else that makes no progress.
bool write_all(void* handle, std::string_view bytes);

/// The handle the document goes to when it goes to standard output: our own
/// handle on the real standard output once guard_standard_streams has run,
/// the standard handle before; null when standard output was closed at start.
void* document_output() noexcept;

/// Appends everything `handle` yields up to its end to `out` with ReadFile.
/// A broken pipe is the end of a pipe's data, not a failure.
bool read_all(void* handle, SecretBytes& out);

}  // namespace mirandel::platform::win32
