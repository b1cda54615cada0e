// Whole-file reading and writing.
#pragma once

#include <filesystem>
#include <string_view>

#include "secret.hpp"

namespace mirandel::platform {

/// Where a document is to be written, fixed when this is made: a relative
/// path goes on naming a place in the working directory of that moment,
/// whatever directory the process moves to later (a module may change it).
/// Made before any module is loaded; converts from a plain path.
class OutputFile {
 public:
  OutputFile(const std::filesystem::path& path);
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// The path as given (on Windows, made full).
  const std::filesystem::path& path() const noexcept { return path_; }
  /// POSIX: a descriptor of the working directory when this was made, or
  /// AT_FDCWD when the path is absolute or that could not be opened.
  /// Unused on Windows.
  int folder() const noexcept { return folder_; }

 private:
  std::filesystem::path path_;
  int folder_ = -1;
};

/// Puts exactly `bytes` at `output`. Whatever exists there (a file, a
/// device, a pipe, a symbolic link's target) is opened, truncated and
/// written in place, so a file keeps its identity, owner, permissions and
/// links, and a caller holding it open sees the document; a write that stops
/// short leaves it partial. A file that does not exist yet is written under
/// a temporary name in the same folder and renamed into place, so nobody
/// finds it partial; when the folder refuses the temporary name or the
/// rename, the file is created directly. False when not all of `bytes`
/// arrived.
bool write_file(const OutputFile& output, std::string_view bytes);

/// Reads the whole file into `out`, retrying interrupted reads. False when the
/// file cannot be opened or read (an empty path included).
bool read_file(const std::filesystem::path& path, SecretBytes& out);

}  // namespace mirandel::platform
