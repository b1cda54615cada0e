// Whole-file reading and writing.
#pragma once

#include <filesystem>
#include <string_view>

#include "secret.hpp"

namespace mirandel::platform {

/// Creates or truncates `path` (shared for reading, writing and deleting on
/// Windows) and writes `bytes` whole, retrying interrupted writes. False on
/// any failure; a partly written file may remain.
bool write_file(const std::filesystem::path& path, std::string_view bytes);

/// Reads the whole file into `out`, retrying interrupted reads. False when the
/// file cannot be opened or read (an empty path included).
bool read_file(const std::filesystem::path& path, SecretBytes& out);

}  // namespace mirandel::platform
