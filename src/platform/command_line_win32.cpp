// The C runtime's command-line splitting, written out so that the program
// does not depend on shell32 and behaves the same under every runtime.

#include "platform/command_line_win32.hpp"

#include <cstddef>

namespace mirandel::platform::win32 {

namespace {

bool is_separator(wchar_t c) { return c == L' ' || c == L'\t'; }

}  // namespace

std::vector<std::wstring> split_command_line(std::wstring_view command_line) {
  std::vector<std::wstring> arguments;
  std::size_t i = 0;
  const std::size_t n = command_line.size();

  // The program name: quotes only switch quoting on and off.
  std::wstring program;
  bool in_quotes = false;
  while (i < n) {
    wchar_t c = command_line[i];
    if (c == L'"') {
      in_quotes = !in_quotes;
      ++i;
      continue;
    }
    if (!in_quotes && is_separator(c)) break;
    program.push_back(c);
    ++i;
  }
  arguments.push_back(std::move(program));

  for (;;) {
    while (i < n && is_separator(command_line[i])) ++i;
    if (i >= n) break;

    std::wstring argument;
    in_quotes = false;
    while (i < n) {
      std::size_t backslashes = 0;
      while (i < n && command_line[i] == L'\\') {
        ++backslashes;
        ++i;
      }
      if (i < n && command_line[i] == L'"') {
        argument.append(backslashes / 2, L'\\');
        if (backslashes % 2 == 1) {
          argument.push_back(L'"');
          ++i;
        } else if (in_quotes && i + 1 < n && command_line[i + 1] == L'"') {
          // A doubled quote inside quotes is one literal quote, and quoting
          // goes on.
          argument.push_back(L'"');
          i += 2;
        } else {
          in_quotes = !in_quotes;
          ++i;
        }
        continue;
      }
      argument.append(backslashes, L'\\');
      if (i >= n || (!in_quotes && is_separator(command_line[i]))) break;
      argument.push_back(command_line[i]);
      ++i;
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace mirandel::platform::win32
