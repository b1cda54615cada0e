#include "pkcs11/module.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "unit/pkcs11/fake_module.hpp"

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

namespace mirandel::pkcs11::test {
namespace {

TEST_F(FakeModule, InitializeAsksForOsLockingAndRefusesAnAlreadyInitialisedModule) {
  fake.initialize = [](CK_VOID_PTR raw) {
    const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(raw);
    EXPECT_TRUE(!args->CreateMutex && !args->DestroyMutex && !args->LockMutex &&
                !args->UnlockMutex);
    EXPECT_EQ(args->flags, CKF_OS_LOCKING_OK);
    EXPECT_EQ(args->pReserved, nullptr);
    return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  };
  ModuleRef m = module();
  EXPECT_EQ(initialize_module(*m), std::unexpected(call_failed(Function::Initialize, 0x191)));
  EXPECT_EQ(initialize_module(*module({Function::Initialize})),
            std::unexpected(BindingError(NullEntryPoint{})));
  EXPECT_EQ(fake.calls, (Calls{"Initialize"}));
}

// CKR_CANT_LOCK to CKF_OS_LOCKING_OK earns exactly one more call, with a null
// argument; every other answer, and the second answer, is final.
TEST_F(FakeModule, InitializeRetriesOnceWithoutArgumentsWhenTheModuleCannotLock) {
  struct Case {
    std::vector<CK_RV> answers;
    Result<void> result;
  };
  const Case cases[] = {
      {{CKR_CANT_LOCK, CKR_OK}, {}},
      {{CKR_CANT_LOCK, CKR_CANT_LOCK}, std::unexpected(call_failed(Function::Initialize, 0xA))},
      {{CKR_CANT_LOCK, 0x7}, std::unexpected(call_failed(Function::Initialize, 0x7))},
      {{0x5}, std::unexpected(call_failed(Function::Initialize, 0x5))},
      {{CKR_OK}, {}},
  };
  for (const Case& c : cases) {
    std::vector<bool> null_argument;
    fake.initialize = [&](CK_VOID_PTR args) {
      null_argument.push_back(args == nullptr);
      return c.answers.at(null_argument.size() - 1);
    };
    EXPECT_EQ(initialize_module(*module()), c.result);
    std::vector<bool> expected(c.answers.size(), true);
    expected[0] = false;
    EXPECT_EQ(null_argument, expected) << c.answers.size() << " answers";
  }
}

}  // namespace
}  // namespace mirandel::pkcs11::test
