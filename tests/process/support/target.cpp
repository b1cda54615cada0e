// Paths of the program under test and the mock libraries, from CMake with
// environment overrides.
#include "target.hpp"

#include <cstdlib>
#include <sstream>

#ifndef MIRANDEL_TEST_DEFAULT_EXE
#define MIRANDEL_TEST_DEFAULT_EXE ""
#endif
#ifndef MIRANDEL_TEST_DEFAULT_MOCK_DIR
#define MIRANDEL_TEST_DEFAULT_MOCK_DIR ""
#endif
#ifndef MIRANDEL_TEST_DEFAULT_MOCK_SUFFIX
#define MIRANDEL_TEST_DEFAULT_MOCK_SUFFIX ".so"
#endif
#ifndef MIRANDEL_TEST_DEFAULT_LAUNCHER
#define MIRANDEL_TEST_DEFAULT_LAUNCHER ""
#endif

namespace mirandel::test {
namespace {

std::string setting(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value && *value ? value : fallback;
}

const char* variant_file_stem(MockVariant variant) {
  switch (variant) {
    case MockVariant::FunctionList:
      return "mirandel_mock_fl";
    case MockVariant::InterfaceAndFunctionList:
      return "mirandel_mock_if_fl";
    case MockVariant::InterfaceOnly:
      return "mirandel_mock_if";
    case MockVariant::NoDiscovery:
      return "mirandel_mock_none";
    case MockVariant::Thread:
      return "mirandel_mock_thread";
    case MockVariant::SignalHandlers:
      return "mirandel_mock_signal_handlers";
    case MockVariant::SignalDefaults:
      return "mirandel_mock_signal_defaults";
    case MockVariant::OwnLibcrypto:
      return "mirandel_mock_own_libcrypto";
    case MockVariant::LinkedCrypto:
      return "mirandel_mock_linked_crypto";
  }
  return "";
}

}  // namespace

std::filesystem::path helper_executable() {
  return setting("MIRANDEL_TEST_EXE", MIRANDEL_TEST_DEFAULT_EXE);
}

std::filesystem::path mock_library(MockVariant variant) {
  const std::filesystem::path dir =
      setting("MIRANDEL_TEST_MOCK_DIR", MIRANDEL_TEST_DEFAULT_MOCK_DIR);
  const std::string suffix =
      setting("MIRANDEL_TEST_MOCK_SUFFIX", MIRANDEL_TEST_DEFAULT_MOCK_SUFFIX);
  return dir / (std::string(variant_file_stem(variant)) + suffix);
}

std::vector<std::string> launcher_prefix() {
  std::istringstream words(setting("MIRANDEL_TEST_LAUNCHER", MIRANDEL_TEST_DEFAULT_LAUNCHER));
  std::vector<std::string> prefix;
  std::string word;
  while (words >> word) prefix.push_back(word);
  return prefix;
}

bool target_uses_windows_paths() {
  const std::string style = setting("MIRANDEL_TEST_PATH_STYLE", "");
  if (style == "windows") return true;
  if (style == "posix") return false;
  for (const std::string& word : launcher_prefix())
    if (word.find("wine") != std::string::npos) return true;
  return false;
}

std::size_t target_ulong_bytes() { return target_uses_windows_paths() ? 4 : sizeof(unsigned long); }

std::string target_path(const std::filesystem::path& host_path) {
  const std::string absolute = std::filesystem::absolute(host_path).lexically_normal().string();
  if (!target_uses_windows_paths()) return absolute;
  // Wine maps the host's root directory to drive Z:.
  std::string windows = "Z:" + absolute;
  for (char& c : windows)
    if (c == '/') c = '\\';
  return windows;
}

}  // namespace mirandel::test
