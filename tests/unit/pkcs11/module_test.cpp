#include "pkcs11/module.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace mirandel::pkcs11 {
namespace {

TEST(LoadModule, ReportsAPathThatIsNoLibraryWithoutDetails) {
  Result<ModuleRef> loaded = load_module("/nonexistent/mirandel-no-such-module.so");
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(error_text(loaded.error()), "libloading error (LoadLibraryExW failed)");
}

TEST(LoadModule, RefusesALibraryWithoutDiscoveryEntryPoints) {
#if defined(_WIN32)
  Result<ModuleRef> loaded = load_module("kernel32.dll");
#else
  Result<ModuleRef> loaded = load_module("libc.so.6");
#endif
  ASSERT_FALSE(loaded.has_value());
  EXPECT_EQ(error_text(loaded.error()), "Missing PKCS#11 symbol: C_GetFunctionList");
}

#if !defined(_WIN32)
// Real modules installed on the build machine, when present: SoftHSM exports
// only C_GetFunctionList (a 2.40 list), OpenSC also C_GetInterface (3.0).
TEST(LoadModule, CopiesTheTableOfInstalledModules) {
  struct Case {
    const char* path;
    TableLayout layout;
    std::uint8_t major;
  };
  const Case cases[] = {
      {"/usr/lib/softhsm/libsofthsm2.so", TableLayout::V2_40, 2},
      {"/usr/lib/x86_64-linux-gnu/pkcs11/opensc-pkcs11.so", TableLayout::V3_0, 3},
  };
  int loaded_any = 0;
  for (const Case& c : cases) {
    if (!std::filesystem::exists(c.path)) continue;
    Result<ModuleRef> loaded = load_module(c.path);
    ASSERT_TRUE(loaded.has_value()) << c.path << ": " << error_text(loaded.error());
    const ModuleContext& m = **loaded;
    EXPECT_EQ(m.table().layout, c.layout) << c.path;
    EXPECT_EQ(m.table().version.major, c.major) << c.path;
    EXPECT_TRUE(m.lookups()[index_of(Function::GetFunctionList)].has_value());
    EXPECT_TRUE(entry_point(m, Function::Sign).has_value());
    // Entries past the layout's list stay null.
    EXPECT_EQ(entry_point(m, Function::UnwrapKeyAuthenticated),
              std::unexpected(BindingError(NullEntryPoint{})));
    ++loaded_any;
  }
  if (loaded_any == 0) GTEST_SKIP() << "no PKCS#11 module installed";
}
#endif

}  // namespace
}  // namespace mirandel::pkcs11
