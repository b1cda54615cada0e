// Text conversions for the Windows platform files.

#include "platform/text_win32.hpp"

#include <windows.h>

#include <climits>
#include <cstddef>

#include "codec/utf8.hpp"

namespace mirandel::platform::win32 {

namespace {

bool is_high_surrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

std::string utf16_to_utf8_lossy(std::wstring_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t unit = static_cast<char16_t>(utf16[i]);
    if (is_high_surrogate(unit) && i + 1 < utf16.size() &&
        is_low_surrogate(static_cast<char16_t>(utf16[i + 1]))) {
      char32_t low = static_cast<char16_t>(utf16[i + 1]);
      codec::append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      ++i;
    } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
      codec::append_utf8(out, 0xFFFD);
    } else {
      codec::append_utf8(out, unit);
    }
  }
  return out;
}

std::wstring utf8_to_utf16(std::string_view utf8) {
  // MultiByteToWideChar counts in int; longer input is not something this
  // program ever converts (documents and arguments are small).
  if (utf8.empty() || utf8.size() > static_cast<std::size_t>(INT_MAX)) return {};
  int length = static_cast<int>(utf8.size());
  int needed = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  if (needed <= 0) return {};
  std::wstring out(static_cast<std::size_t>(needed), L'\0');
  int written = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, out.data(), needed);
  if (written <= 0) return {};
  out.resize(static_cast<std::size_t>(written));
  return out;
}

}  // namespace mirandel::platform::win32
