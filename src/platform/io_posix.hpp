// Whole-buffer reads and writes on POSIX descriptors, shared by the file and
// console code. Internal to the POSIX platform files.
#pragma once

#include <sys/uio.h>

#include "secret.hpp"

namespace mirandel::platform::posix {

/// Writes every byte of `parts` to `fd`, resuming after partial writes and
/// retrying interrupted ones. A non-blocking descriptor that is full is
/// waited on until it takes more. False on any other failure or on a write
/// that makes no progress. `parts` is consumed.
bool write_all(int fd, iovec* parts, int count) noexcept;

/// The descriptor the document goes to when it goes to standard output: the
/// private copy of the real standard output once guard_standard_streams has
/// run, descriptor 1 before; -1 when standard output was closed at start.
int document_output() noexcept;

/// While it lives, descriptor 1 is the real standard output again, so that
/// opening /dev/stdout or /proc/self/fd/1 reaches what the caller meant.
/// Afterwards descriptor 1 points at standard error again. Does nothing
/// unless guard_standard_streams has run.
class RealStandardOutput {
 public:
  RealStandardOutput() noexcept;
  ~RealStandardOutput();
  RealStandardOutput(const RealStandardOutput&) = delete;
  RealStandardOutput& operator=(const RealStandardOutput&) = delete;

 private:
  bool restored_ = false;
};

/// Appends everything `fd` yields up to its end to `out`, retrying
/// interrupted reads. False on a read failure (a directory, for one, opens
/// but does not read).
bool read_all(int fd, SecretBytes& out);

}  // namespace mirandel::platform::posix
