#include "platform/module_path_win32.hpp"

#include <gtest/gtest.h>

#include <string>

namespace mirandel::platform::win32 {
namespace {

struct LoadCase {
  const wchar_t* path;
  bool altered_search_path;              ///< fully qualified
  const wchar_t* loader_path = nullptr;  ///< nullptr: `path` unchanged
};

class ModuleLoadCallFor : public testing::TestWithParam<LoadCase> {};

TEST_P(ModuleLoadCallFor, UsesTheAlteredSearchForFullyQualifiedPathsOnly) {
  const LoadCase& c = GetParam();
  SCOPED_TRACE(testing::PrintToString(std::wstring(c.path)));
  const ModuleLoadCall call = module_load_call(c.path);
  EXPECT_EQ(is_fully_qualified(c.path), c.altered_search_path);
  EXPECT_EQ(call.altered_search_path, c.altered_search_path);
  EXPECT_EQ(call.path, std::wstring(c.loader_path ? c.loader_path : c.path));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ModuleLoadCallFor,
    testing::Values(
        // A drive letter, a colon and a separator; forward slashes are turned.
        LoadCase{L"C:\\Program Files\\Vendor\\pkcs11.dll", true},
        LoadCase{L"c:/vendor/pkcs11.dll", true, L"c:\\vendor\\pkcs11.dll"},
        LoadCase{L"Z:/a\\b/c.dll", true, L"Z:\\a\\b\\c.dll"}, LoadCase{L"C:\\", true},
        LoadCase{L"C:/", true, L"C:\\"}, LoadCase{L"C:\\\\double\\\\p.dll", true},
        LoadCase{L"C:\\Citt\u00e0 \u9375 \xD83D\xDD11/p.dll", true,
                 L"C:\\Citt\u00e0 \u9375 \xD83D\xDD11\\p.dll"},
        // Drive-relative, or not a drive letter: unchanged, flags 0.
        LoadCase{L"C:", false}, LoadCase{L"C:p.dll", false}, LoadCase{L"C:dir/p.dll", false},
        LoadCase{L"1:\\p.dll", false}, LoadCase{L"\u00e8:\\p.dll", false},
        LoadCase{L"CD:\\p.dll", false}, LoadCase{L" C:\\p.dll", false},
        // Rooted on the current drive, relative, bare names: unchanged.
        LoadCase{L"\\vendor\\p.dll", false}, LoadCase{L"/vendor/p.dll", false},
        LoadCase{L"\\", false}, LoadCase{L"\\??\\C:\\p.dll", false},
        LoadCase{L"vendor/p.dll", false}, LoadCase{L".\\p.dll", false},
        LoadCase{L"../p.dll", false}, LoadCase{L"p.dll", false}, LoadCase{L"", false},
        // UNC, with either separator.
        LoadCase{L"\\\\server\\share\\p.dll", true},
        LoadCase{L"//server/share/p.dll", true, L"\\\\server\\share\\p.dll"},
        LoadCase{L"\\/server\\share/p.dll", true, L"\\\\server\\share\\p.dll"},
        LoadCase{L"\\\\", true},
        // Device paths. "\\?\" is verbatim: a '/' in it is no separator and
        // stays. "//?/" is the normalised device prefix, kept so as "\\.\".
        LoadCase{L"\\\\?\\C:\\vendor\\p.dll", true}, LoadCase{L"\\\\?\\C:\\vendor/p.dll", true},
        LoadCase{L"\\\\?\\UNC\\server\\share\\p.dll", true},
        LoadCase{L"\\\\.\\C:/vendor/p.dll", true, L"\\\\.\\C:\\vendor\\p.dll"},
        LoadCase{L"//?/C:/vendor/p.dll", true, L"\\\\.\\C:\\vendor\\p.dll"},
        LoadCase{L"\\\\?/C:\\p.dll", true, L"\\\\.\\C:\\p.dll"},
        LoadCase{L"//./C:/p.dll", true, L"\\\\.\\C:\\p.dll"}));

}  // namespace
}  // namespace mirandel::platform::win32
