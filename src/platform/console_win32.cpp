// The standard streams on Windows, through their Win32 handles: no C runtime
// text mode, so no byte is ever translated (no CR added before LF, no
// Ctrl-Z taken for the end of input).

#include "platform/console.hpp"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <string>

#include "platform/console_win32.hpp"
#include "platform/io_win32.hpp"
#include "platform/text_win32.hpp"

namespace mirandel::platform {

namespace {

constexpr UINT UTF8_CODE_PAGE = 65001;

HANDLE usable(HANDLE handle) noexcept { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

// The document and its line feed in one buffer, converted or written in one go.
std::string with_line_feed(std::string_view utf8_document) {
  std::string line;
  line.reserve(utf8_document.size() + 1);
  line.append(utf8_document);
  line.push_back('\n');
  return line;
}

bool write_console_all(HANDLE console, std::wstring_view text) {
  // Consoles are known to fail large WriteConsoleW requests.
  constexpr std::size_t CHUNK = 8 * 1024;
  while (!text.empty()) {
    std::size_t chunk = std::min(text.size(), CHUNK);
    // Never split a surrogate pair between two writes.
    if (chunk < text.size() && chunk > 1 && text[chunk - 1] >= 0xD800 && text[chunk - 1] <= 0xDBFF)
      --chunk;
    DWORD wanted = static_cast<DWORD>(chunk);
    DWORD written = 0;
    if (!WriteConsoleW(console, text.data(), wanted, &written, nullptr) || written == 0)
      return false;
    text.remove_prefix(std::min<std::size_t>(written, text.size()));
  }
  return true;
}

}  // namespace

namespace win32 {

std::wstring console_text(std::string_view utf8_document) {
  return utf8_to_utf16(with_line_feed(utf8_document));
}

}  // namespace win32

bool write_document_to_stdout(std::string_view utf8_document) {
  HANDLE out = static_cast<HANDLE>(win32::document_output());
  if (!out) return false;

  // A console shows bytes through its output code page; unless that is
  // UTF-8, the wide console API is the only way accented letters show right.
  DWORD mode = 0;
  if (GetConsoleMode(out, &mode) && GetConsoleOutputCP() != UTF8_CODE_PAGE) {
    return write_console_all(out, win32::console_text(utf8_document));
  }

  // Pipes, files and UTF-8 consoles get the bytes themselves, ending with a
  // bare line feed.
  return win32::write_all(out, with_line_feed(utf8_document));
}

void write_stderr(std::string_view bytes) {
  HANDLE err = usable(GetStdHandle(STD_ERROR_HANDLE));
  if (!err) return;
  // Accented letters on a console, as for the document.
  DWORD mode = 0;
  if (GetConsoleMode(err, &mode) && GetConsoleOutputCP() != UTF8_CODE_PAGE) {
    write_console_all(err, win32::utf8_to_utf16(bytes));
    return;
  }
  win32::write_all(err, bytes);
}

bool read_stdin(SecretBytes& out) {
  HANDLE in = usable(GetStdHandle(STD_INPUT_HANDLE));
  if (!in) return false;
  return win32::read_all(in, out);
}

}  // namespace mirandel::platform
