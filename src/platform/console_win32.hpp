// What the Windows console code hands to WriteConsoleW. Internal to the
// Windows platform files; exposed for its test.
#pragma once

#include <string>
#include <string_view>

namespace mirandel::platform::win32 {

/// The document and its line feed as UTF-16, as written to a console whose
/// output code page is not UTF-8.
std::wstring console_text(std::string_view utf8_document);

}  // namespace mirandel::platform::win32
