// Whole-buffer reads and writes on POSIX descriptors, shared by the file and
// console code. Internal to the POSIX platform files.
#pragma once

#include <sys/uio.h>

#include "secret.hpp"

namespace mirandel::platform::posix {

/// Writes every byte of `parts` to `fd`, resuming after partial writes and
/// retrying interrupted ones. False on any other failure or on a write that
/// makes no progress. `parts` is consumed.
bool write_all(int fd, iovec* parts, int count) noexcept;

/// Appends everything `fd` yields up to its end to `out`, retrying
/// interrupted reads. False on a read failure (a directory, for one, opens
/// but does not read).
bool read_all(int fd, SecretBytes& out);

}  // namespace mirandel::platform::posix
