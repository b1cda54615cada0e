// Starts a program with unusual standard streams and passes on its exit
// status, for the tests of how the program guards its streams:
//
//   mirandel_stream_launcher.exe <mode> <program> [arguments...]
//
//   closed-stdout  the child gets no standard output handle
//   closed-all     the child gets no standard handle at all
//   slow-nowait    the child's standard output is a pipe in PIPE_NOWAIT mode,
//                  read only after a second and then in small pieces; what
//                  arrives is copied to our own standard output
//
// Arguments are quoted with double quotes and must hold none themselves.
#include <windows.h>

#include <string>

#include "child_process.hpp"

using mirandel::test::complain;

namespace {

/// Copies what the child writes to our standard output, slowly, until its
/// end of the pipe closes.
void drain_slowly(HANDLE from) {
  Sleep(1000);
  char buffer[512];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, buffer, sizeof buffer, &got, nullptr) || got == 0) return;
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), buffer, got, &written, nullptr);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    complain("usage: mirandel_stream_launcher <mode> <program> [arguments...]\n");
    return 120;
  }
  const std::wstring mode = argv[1];
  std::wstring command_line;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) command_line += L' ';
    command_line += L'"';
    command_line += argv[i];
    command_line += L'"';
  }

  STARTUPINFOW startup = mirandel::test::our_standard_handles();
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (mode == L"closed-stdout") {
    startup.hStdOutput = nullptr;
  } else if (mode == L"closed-all") {
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nullptr;
  } else if (mode == L"slow-nowait") {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    if (!CreatePipe(&read_end, &write_end, &inheritable, 4096)) return 121;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    DWORD nowait = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(write_end, &nowait, nullptr, nullptr)) {
      complain("mirandel_stream_launcher: PIPE_NOWAIT refused\n");
      return 121;
    }
    startup.hStdOutput = write_end;
  } else {
    complain("mirandel_stream_launcher: unknown mode\n");
    return 120;
  }
  return mirandel::test::run_child("mirandel_stream_launcher", argv[2], command_line, startup, [&] {
    // Our copy of the write end must go, or the pipe never reports its end.
    if (!write_end) return;
    CloseHandle(write_end);
    drain_slowly(read_end);
    CloseHandle(read_end);
  });
}
