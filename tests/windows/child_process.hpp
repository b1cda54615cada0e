// What the test launchers share: starting a child with chosen standard
// handles and passing its exit status on. Statuses from 120 up are the
// launchers' own failures, which the tests tell apart from the child's.
#pragma once

#include <windows.h>

#include <string>

namespace mirandel::test {

inline void complain(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

/// Startup information that hands our own standard handles to the child.
inline STARTUPINFOW our_standard_handles() {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  return startup;
}

/// Starts `program` with exactly `command_line` and the handles of
/// `startup` (inheritable handles are inherited), calls `while_running`,
/// waits for the child and returns its exit status. When the child cannot be
/// started, says so under the name `launcher` and returns 122.
template <typename WhileRunning>
int run_child(const char* launcher, const wchar_t* program, std::wstring command_line,
              STARTUPINFOW startup, WhileRunning while_running) {
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    complain(std::string(launcher) + ": CreateProcessW failed\n");
    return 122;
  }
  while_running();
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD status = 123;
  GetExitCodeProcess(process.hProcess, &status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(status);
}

}  // namespace mirandel::test
