#include "platform/dynamic_library.hpp"

#include <gtest/gtest.h>

#include <csignal>

#include "platform/signal_dispositions.hpp"

namespace mirandel::platform {
namespace {

#if defined(_WIN32)
constexpr const char* SYSTEM_LIBRARY = "kernel32.dll";
constexpr const char* EXPORTED = "GetLastError";
#else
constexpr const char* SYSTEM_LIBRARY = "libc.so.6";
constexpr const char* EXPORTED = "strlen";
#endif

TEST(DynamicLibrary, FailedLoadCarriesANonZeroCode) {
  auto opened = DynamicLibrary::open("/nonexistent/mirandel-missing-library");
  ASSERT_FALSE(opened.has_value());
  ASSERT_TRUE(opened.error().os_code.has_value());
  EXPECT_NE(*opened.error().os_code, 0u);
}

TEST(DynamicLibrary, LooksUpExportsAndRecordsMissingOnes) {
  auto opened = DynamicLibrary::open(SYSTEM_LIBRARY);
  ASSERT_TRUE(opened.has_value());
  auto found = opened->symbol(EXPORTED);
  ASSERT_TRUE(found.has_value());
  EXPECT_NE(*found, nullptr);
  EXPECT_FALSE(opened->symbol("C_GetFunctionList").has_value());

  // A moved-from library holds nothing and finds nothing.
  DynamicLibrary moved = std::move(*opened);
  EXPECT_TRUE(moved.symbol(EXPORTED).has_value());
  EXPECT_FALSE(opened->symbol(EXPORTED).has_value());
}

void count_nothing(int) {}

TEST(DynamicLibrary, UnloadPutsBackTheSignalDispositionsRecordedAtStart) {
  using Handler = void (*)(int);
  const Handler at_start = std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGTERM, at_start);
  record_signal_dispositions();
  {
    auto opened = DynamicLibrary::open(SYSTEM_LIBRARY);
    ASSERT_TRUE(opened.has_value());
    std::signal(SIGTERM, count_nothing);  // as the library's code might
  }
  EXPECT_EQ(std::signal(SIGTERM, at_start), at_start);
}

}  // namespace
}  // namespace mirandel::platform
