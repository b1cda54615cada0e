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

#include <cstring>
#include <cwchar>
#include <string>

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

void complain(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
            nullptr);
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

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(argv[1], command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    complain("mirandel_launcher: CreateProcessW failed\n");
    return 122;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 123;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}
