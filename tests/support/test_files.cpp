#include "test_files.hpp"

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

namespace mirandel::test {

TempDir::TempDir(const std::filesystem::path& prefix) {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::mt19937_64 random(std::random_device{}());
  // create_directory reports whether it made the directory: a name that is
  // already taken, by a left-over or by a test running beside this one, is
  // passed over.
  do {
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    path_ = base / prefix;
    path_ += suffix;
  } while (!std::filesystem::create_directory(path_));
}

TempDir::~TempDir() {
  if (keep_) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::optional<std::string> read_whole(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> hidden_names(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const std::filesystem::directory_entry& entry :
       std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.starts_with(".")) names.push_back(name);
  }
  return names;
}

}  // namespace mirandel::test
