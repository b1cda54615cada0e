// Where the program under test and the mock modules are, how to launch the
// program, and how it names paths. The defaults come from CMake; environment
// variables override them so the same suite can run a Windows build under
// Wine:
//   MIRANDEL_TEST_EXE          the program under test
//   MIRANDEL_TEST_MOCK_DIR     the directory of the mock module libraries
//   MIRANDEL_TEST_MOCK_SUFFIX  their file suffix (".so", ".dll")
//   MIRANDEL_TEST_LAUNCHER     a launcher prefix, split on blanks ("wine")
//   MIRANDEL_TEST_PATH_STYLE   "windows" or "posix"; default windows when the
//                              launcher mentions wine
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace mirandel::test {

/// The builds of the mock module: four by the discovery entry points they
/// export, three (C_GetFunctionList only) that change the process, two
/// (Linux, C_GetFunctionList only) that bring their own EVP_sha256.
enum class MockVariant {
  FunctionList,              ///< C_GetFunctionList only
  InterfaceAndFunctionList,  ///< C_GetInterface and C_GetFunctionList
  InterfaceOnly,             ///< C_GetInterface only
  NoDiscovery,               ///< neither
  Thread,                    ///< a thread from C_Initialize to C_Finalize
  SignalHandlers,            ///< SIGCHLD and SIGPIPE handlers left behind
  SignalDefaults,            ///< SIGPIPE and SIGXFSZ back to their defaults
  OwnLibcrypto,              ///< links a libcrypto.so.1.0.0 beside it
  LinkedCrypto,              ///< has EVP_sha256 linked in
};

/// The program under test, as a host path.
std::filesystem::path helper_executable();

/// The mock module library of `variant`, as a host path.
std::filesystem::path mock_library(MockVariant variant);

/// The words placed before the executable on the command line (empty when
/// the program runs natively).
std::vector<std::string> launcher_prefix();

/// Whether the program under test names files the Windows way.
bool target_uses_windows_paths();

/// The size of CK_ULONG in the program under test: 4 on Windows, else that
/// of unsigned long.
std::size_t target_ulong_bytes();

/// `host_path` as the program under test (and the mock inside it) must be
/// given it: unchanged natively, "Z:\..." under Wine. The one place where
/// paths are mapped.
std::string target_path(const std::filesystem::path& host_path);

}  // namespace mirandel::test
