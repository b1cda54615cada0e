// Splitting a Windows command line into arguments. Internal to the Windows
// platform files; a pure function so that its rules can be tested directly.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mirandel::platform::win32 {

/// Splits `command_line` as the Microsoft C runtime does for argv. The
/// program name ends at the first blank or tab outside double quotes and
/// takes quotes literally otherwise (no backslash escapes). Every later
/// argument ends at a blank or tab outside quotes; 2n backslashes before a
/// quote give n backslashes and the quote opens or closes quoting, 2n+1
/// give n backslashes and a literal quote; "" inside quotes is a literal
/// quote; other backslashes are literal. The result starts with the
/// program name, even when it is empty.
std::vector<std::wstring> split_command_line(std::wstring_view command_line);

}  // namespace mirandel::platform::win32
