// Starts a program with an exact raw command line and passes on its exit
// status, so that tests can hand the program command lines that no shell
// would produce.
//
//   mirandel_launcher.exe <program> <command line as UTF-16 code units in hex>
//
// The command line is given as four hex digits per UTF-16 code unit, so that
// quotes, backslashes, blanks and even lone surrogates get through any outer
// quoting unchanged. The standard handles are passed on to the child.
#include <windows.h>

#include <cwchar>
#include <string>

#include "child_process.hpp"

using mirandel::test::complain;

namespace {

int hex_value(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool decode_units(const wchar_t* hex, std::wstring& out) {
  std::size_t length = std::wcslen(hex);
  if (length % 4 != 0) return false;
  for (std::size_t i = 0; i < length; i += 4) {
    unsigned unit = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      int v = hex_value(hex[i + k]);
      if (v < 0) return false;
      unit = unit * 16 + static_cast<unsigned>(v);
    }
    out.push_back(static_cast<wchar_t>(unit));
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    complain("usage: mirandel_launcher <program> <hex UTF-16 command line>\n");
    return 120;
  }
  std::wstring command_line;
  if (!decode_units(argv[2], command_line)) {
    complain("mirandel_launcher: bad hex command line\n");
    return 121;
  }
  return mirandel::test::run_child("mirandel_launcher", argv[1], command_line,
                                   mirandel::test::our_standard_handles(), [] {});
}
