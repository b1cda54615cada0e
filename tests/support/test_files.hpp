// Files the tests make and look at. Built for Linux and, with mingw-w64, for
// the Windows tests that run under Wine, so only std::filesystem is used.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace mirandel::test {

/// A directory of its own under the system's temporary folder, removed with
/// everything in it when the object goes (unless keep() was called).
class TempDir {
 public:
  /// The name is `prefix` followed by a random suffix; the directory is
  /// created only if no other one has that name, so tests running side by
  /// side never share one.
  explicit TempDir(const std::filesystem::path& prefix = "mirandel-test-");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  /// Leaves the directory on disk, for a look after a failed test.
  void keep() { keep_ = true; }

 private:
  std::filesystem::path path_;
  bool keep_ = false;
};

/// The bytes of the file at `path`; nullopt when it cannot be opened.
std::optional<std::string> read_whole(const std::filesystem::path& path);

/// The names in `folder` that start with a dot, as our temporary files do.
std::vector<std::string> hidden_names(const std::filesystem::path& folder);

}  // namespace mirandel::test
