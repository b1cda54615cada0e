// Command-line arguments on Windows: the UTF-16 command line of the process,
// split here. The native form is kept exactly as the caller passed it, so a
// path reaches CreateFileW or LoadLibraryExW unchanged, lone surrogates
// included; only the UTF-8 form used for the program's own checks is lossy.

#include "platform/arguments.hpp"

#include <windows.h>

#include "platform/command_line_win32.hpp"
#include "platform/text_win32.hpp"

namespace mirandel::platform {

std::vector<Argument> command_line_arguments(int /*argc*/, char** /*argv*/) {
  // argv is ignored: the C runtime has already squeezed it through the ANSI
  // code page, which loses every character outside it.
  const wchar_t* command_line = GetCommandLineW();
  std::vector<std::wstring> split = win32::split_command_line(
      command_line ? std::wstring_view(command_line) : std::wstring_view());
  std::vector<Argument> arguments;
  arguments.reserve(split.size());
  for (std::wstring& text : split) {
    std::string utf8 = win32::utf16_to_utf8_lossy(text);
    arguments.push_back(Argument{std::filesystem::path(std::move(text)), std::move(utf8)});
  }
  return arguments;
}

Argument argument_from_utf8(std::string utf8) {
  std::filesystem::path native(win32::utf8_to_utf16(utf8));
  return Argument{std::move(native), std::move(utf8)};
}

}  // namespace mirandel::platform
