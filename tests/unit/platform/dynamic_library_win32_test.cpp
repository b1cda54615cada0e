#include "platform/dynamic_library.hpp"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>

#include "win32_test_support.hpp"

namespace mirandel::platform {
namespace {

using testing_win32::executable_directory;
using testing_win32::ScratchDirectory;

constexpr DWORD UNSET = 0xFFFFFFFF;

/// The probe DLL copied into a directory whose name needs Unicode.
class DynamicLibraryWin32 : public testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::path built = executable_directory() / L"mirandel_probe.dll";
    ASSERT_TRUE(std::filesystem::exists(built)) << built.string();
    probe_ = scratch_.path() / L"sonda \u00e8 \xD83D\xDD11.dll";
    std::filesystem::copy_file(built, probe_);
    saved_mode_ = GetThreadErrorMode();
  }
  void TearDown() override { SetThreadErrorMode(saved_mode_, nullptr); }

  static int answer(const DynamicLibrary& library) {
    auto found = library.symbol("mirandel_probe_answer");
    if (!found) return -1;
    return function_cast<int (*)()>(*found)();
  }
  static DWORD mode_at_attach(const DynamicLibrary& library) {
    auto found = library.symbol("mirandel_probe_error_mode_at_attach");
    if (!found) return UNSET;
    return function_cast<DWORD (*)()>(*found)();
  }

  ScratchDirectory scratch_{L"loader"};
  std::filesystem::path probe_;
  DWORD saved_mode_ = 0;
};

TEST_F(DynamicLibraryWin32, LoadsFromAUnicodePathAndFindsExports) {
  auto library = DynamicLibrary::open(probe_);
  ASSERT_TRUE(library.has_value());
  EXPECT_EQ(answer(*library), 42);
}

TEST_F(DynamicLibraryWin32, AMissingExportFailsWithTheLoaderCode) {
  auto library = DynamicLibrary::open(probe_);
  ASSERT_TRUE(library.has_value());
  auto missing = library->symbol("C_GetInterface");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().os_code, std::optional<std::uint32_t>(ERROR_PROC_NOT_FOUND));
}

TEST_F(DynamicLibraryWin32, FailuresToLoadCarryTheSystemCode) {
  std::filesystem::path not_a_library = scratch_.path() / L"testo.dll";
  std::ofstream(not_a_library) << "not a library";
  for (const std::filesystem::path& path :
       {scratch_.path() / L"assente.dll", not_a_library, scratch_.path()}) {
    auto library = DynamicLibrary::open(path);
    ASSERT_FALSE(library.has_value()) << path.string();
    ASSERT_TRUE(library.error().os_code.has_value()) << path.string();
    EXPECT_NE(*library.error().os_code, 0u) << path.string();
  }
  auto missing = DynamicLibrary::open(scratch_.path() / L"assente.dll");
  EXPECT_EQ(missing.error().os_code, std::optional<std::uint32_t>(ERROR_MOD_NOT_FOUND));
}

TEST_F(DynamicLibraryWin32, LoadsWithCriticalErrorsFailedAndGivesTheModeBack) {
  // Whatever the thread's mode was, the load itself runs under exactly
  // SEM_FAILCRITICALERRORS, and afterwards the thread has its own mode again
  // (left alone when it already was SEM_FAILCRITICALERRORS).
  for (DWORD previous :
       {DWORD{0}, DWORD{SEM_FAILCRITICALERRORS},
        DWORD{SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX}, DWORD{SEM_NOOPENFILEERRORBOX}}) {
    ASSERT_TRUE(SetThreadErrorMode(previous, nullptr)) << previous;
    {
      auto library = DynamicLibrary::open(probe_);
      ASSERT_TRUE(library.has_value()) << previous;
      EXPECT_EQ(mode_at_attach(*library), DWORD{SEM_FAILCRITICALERRORS}) << previous;
      EXPECT_EQ(GetThreadErrorMode(), previous) << "after a load, previous mode " << previous;
    }
    auto failed = DynamicLibrary::open(scratch_.path() / L"assente.dll");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(GetThreadErrorMode(), previous) << "after a failure, previous mode " << previous;
  }
}

TEST_F(DynamicLibraryWin32, UnloadsWhenTheLastOwnerGoes) {
  {
    auto library = DynamicLibrary::open(probe_);
    ASSERT_TRUE(library.has_value());
    ASSERT_NE(GetModuleHandleW(probe_.c_str()), nullptr);
    DynamicLibrary moved = std::move(*library);
    // The moved-from object holds nothing and must not search the executable.
    EXPECT_FALSE(library->symbol("mirandel_probe_answer").has_value());
    EXPECT_EQ(answer(moved), 42);
  }
  EXPECT_EQ(GetModuleHandleW(probe_.c_str()), nullptr);
}

}  // namespace
}  // namespace mirandel::platform
