// How a module path is handed to LoadLibraryExW. Internal to the Windows
// platform files; pure functions so that the rules can be tested directly.
#pragma once

#include <string>
#include <string_view>

namespace mirandel::platform::win32 {

/// Whether `path` names a file without reference to the current drive or
/// folder: a drive letter, a colon and a separator ("C:\", "c:/"), or two
/// leading separators (UNC "\\server\share", "//server/share", and the
/// device prefixes "\\?\" and "\\.\"). Both '\' and '/' are separators.
/// "C:", "C:dll" (drive-relative) and "\dll" (rooted on the current drive)
/// are not fully qualified.
bool is_fully_qualified(std::wstring_view path);

/// The arguments of the LoadLibraryExW call for a module path.
struct ModuleLoadCall {
  std::wstring path;                 ///< the file name argument
  bool altered_search_path = false;  ///< LOAD_WITH_ALTERED_SEARCH_PATH, else flags 0
};

/// A fully qualified path is loaded with LOAD_WITH_ALTERED_SEARCH_PATH, so
/// that the module's own folder is searched for the DLLs it imports; that
/// search takes the folder from the last backslash, so forward slashes become
/// backslashes. A verbatim "\\?\" path is left exactly as it is (a '/' there
/// is part of a name), and a device prefix written with a forward slash
/// ("//?/") becomes "\\.\", the normalised device prefix it stands for.
/// Any other path is passed unchanged with flags 0: the default search order.
ModuleLoadCall module_load_call(std::wstring_view path);

}  // namespace mirandel::platform::win32
