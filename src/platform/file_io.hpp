// Whole-file reading and writing.
#pragma once

#include <filesystem>
#include <string_view>

#include "secret.hpp"

namespace mirandel::platform {

/// Puts exactly `bytes` at `path`. A regular file, or a path that does not
/// exist yet, is replaced in one step: the bytes go to a new file in the same
/// folder (created exclusively, synced), which is then renamed over `path`,
/// so `path` never holds a partial document and the temporary file is
/// removed on every failure. A regular file that could not be written in
/// place is not replaced. Anything else (a device, a pipe, a symbolic link's
/// target) is opened, truncated and written in place, and so is the target
/// when its folder takes no new file. False when not all of `bytes` arrived.
bool write_file(const std::filesystem::path& path, std::string_view bytes);

/// Reads the whole file into `out`, retrying interrupted reads. False when the
/// file cannot be opened or read (an empty path included).
bool read_file(const std::filesystem::path& path, SecretBytes& out);

}  // namespace mirandel::platform
