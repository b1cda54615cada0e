// The choice of LoadLibraryExW's flags and file name for a module path.

#include "platform/module_path_win32.hpp"

namespace mirandel::platform::win32 {

namespace {

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

bool is_fully_qualified(std::wstring_view path) {
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) return true;
  return path.size() >= 3 && is_drive_letter(path[0]) && path[1] == L':' && is_separator(path[2]);
}

ModuleLoadCall module_load_call(std::wstring_view path) {
  ModuleLoadCall call{std::wstring(path), false};
  if (!is_fully_qualified(path)) return call;
  call.altered_search_path = true;
  // The system takes a "\\?\" path literally, without turning '/' into '\'.
  if (path.starts_with(L"\\\\?\\")) return call;
  for (wchar_t& c : call.path) {
    if (c == L'/') c = L'\\';
  }
  // Only "\\?\" written with backslashes is verbatim; "//?/" is normalised
  // like "\\.\", and must stay so once its slashes have been turned.
  if (call.path.starts_with(L"\\\\?\\")) call.path[2] = L'.';
  return call;
}

}  // namespace mirandel::platform::win32
