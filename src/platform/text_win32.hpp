// Text conversions between the UTF-16 of the Windows API and the UTF-8 used
// everywhere else in the program. Internal to the Windows platform files.
#pragma once

#include <string>
#include <string_view>

namespace mirandel::platform::win32 {

/// Converts UTF-16 to UTF-8. A lone surrogate, which Windows allows in
/// command lines and file names, becomes U+FFFD; nothing else is altered.
std::string utf16_to_utf8_lossy(std::wstring_view utf16);

/// Converts UTF-8 to UTF-16 with MultiByteToWideChar; ill-formed bytes become
/// U+FFFD. Empty input, or a conversion the system refuses, gives "".
std::wstring utf8_to_utf16(std::string_view utf8);

}  // namespace mirandel::platform::win32
