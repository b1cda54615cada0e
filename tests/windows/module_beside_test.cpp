// Whole-process tests of the Windows loader's search for a module's own DLLs,
// run from Linux against the .exe under Wine. The test module imports a
// helper DLL kept beside it, in a folder on no search path: a fully qualified
// module path must find it there, while a relative path keeps the default
// search order, which does not look in the module's folder.
//
// Environment (besides the MIRANDEL_TEST_* variables of the process tests):
//   MIRANDEL_TEST_BESIDE_DIR  host folder of mirandel_beside_module.dll and
//                             mirandel_beside_helper.dll
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "helper_test.hpp"

namespace mirandel::test {
namespace {

namespace fs = std::filesystem;

const std::string MODULE = "mirandel_beside_module.dll";
const std::string HELPER = "mirandel_beside_helper.dll";
const std::string LISTING =
    R"json({"slots":[{"description":"Lettore","token_label":"Chiavetta","certs":[{"der_hex":"3082aa"}]}],"error":null})json";
const std::string LOAD_FAILED =
    R"json({"slots":[],"error":"Modulo PKCS#11 non caricabile: libloading error (LoadLibraryExW failed)"})json";
// Blanks, a letter of code page 1252, and letters no ANSI code page holds
// together (Greek, CJK, and one outside the Basic Multilingual Plane).
const std::string UNICODE_FOLDER =
    "Cartella con spazi \xc3\xa8 \xce\xa9 \xe9\x8d\xb5 \xf0\x9f\x94\x91";

std::string forward_slashes(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

/// Sets a variable in this process, and so in the children it starts, for
/// the lifetime of the object.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::string& value) : name_(name) {
    ::setenv(name, value.c_str(), 1);
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;
  ~ScopedVariable() { ::unsetenv(name_); }

 private:
  const char* name_;
};

class ModuleBeside : public HelperProcessTest {
 protected:
  void SetUp() override {
    HelperProcessTest::SetUp();
    if (!target_uses_windows_paths()) GTEST_SKIP() << "not a Windows build under Wine";
    const char* built = std::getenv("MIRANDEL_TEST_BESIDE_DIR");
    ASSERT_TRUE(built && *built) << "MIRANDEL_TEST_BESIDE_DIR is not set";
    built_ = built;
    scenario.slot(1)
        .description(Bytes("Lettore"))
        .label(Bytes("Chiavetta"))
        .certificate(from_hex("3082aa"));
  }

  /// Copies `name` into dir()/`folder`.
  void install(const std::string& name, const std::string& folder) {
    fs::create_directories(host_file(folder));
    fs::copy_file(built_ / name, host_file(folder) / name);
  }

  /// The module and its helper in dir()/`folder`; the module's target path.
  std::string install_module(const std::string& folder) {
    install(MODULE, folder);
    install(HELPER, folder);
    return file(folder + "/" + MODULE);
  }

  /// Lists with `module` (the working folder is dir()) and checks the
  /// document and whether the module was loaded.
  void expect_listing(const std::string& module, const std::string& document) {
    ProcessResult result = run({module});
    EXPECT_EQ(result.exit_code, 0) << module << "\n" << result.describe();
    EXPECT_EQ(result.out, document + "\n") << module;
    EXPECT_EQ(result.err, "") << module;
    EXPECT_EQ(log().count("LOAD"), document == LISTING ? 1u : 0u) << module;
  }

  fs::path built_;
};

TEST_F(ModuleBeside, LoadsByAFullyQualifiedPathInEveryForm) {
  const std::string plain = install_module("fornitore");
  const std::string unicode = install_module(UNICODE_FOLDER);
  for (const std::string& module :
       {plain, forward_slashes(plain), unicode, forward_slashes(unicode), "z" + plain.substr(1),
        "\\\\?\\" + unicode, "//?/" + forward_slashes(plain)})
    expect_listing(module, LISTING);
}

// Without this, the test module's import would prove nothing.
TEST_F(ModuleBeside, DoesNotLoadWhenItsHelperIsMissing) {
  install(MODULE, "fornitore");
  expect_listing(file("fornitore/" + MODULE), LOAD_FAILED);
}

TEST_F(ModuleBeside, LoadsByABareNameFoundThroughPath) {
  install_module(UNICODE_FOLDER);
  expect_listing(MODULE, LOAD_FAILED);
  // Wine puts WINEPATH before the PATH of the programs it starts.
  ScopedVariable path("WINEPATH", file(UNICODE_FOLDER));
  expect_listing(MODULE, LISTING);
}

// The relative forms all name the module from dir(), which is not its
// folder; the default search order then looks for the helper in the
// program's folder, the system folders, the current folder and PATH only.
TEST_F(ModuleBeside, DoesNotFindTheHelperByARelativePath) {
  install_module("fornitore");
  const std::string rooted = file("fornitore\\" + MODULE).substr(2);
  const std::vector<std::string> relative = {"fornitore\\" + MODULE, "fornitore/" + MODULE,
                                             ".\\fornitore\\" + MODULE, "Z:fornitore\\" + MODULE,
                                             rooted};
  for (const std::string& module : relative) expect_listing(module, LOAD_FAILED);

  // The same paths do name the module: with the helper in the current
  // folder, which the default order searches, each of them loads.
  install(HELPER, ".");
  for (const std::string& module : relative) expect_listing(module, LISTING);
}

}  // namespace
}  // namespace mirandel::test
