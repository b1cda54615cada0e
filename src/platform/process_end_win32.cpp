// The end of the process on Windows: an exit handler, an unhandled-exception
// filter, the C runtime's SIGABRT and a watchdog thread, each ending the
// process with TerminateProcess and the promised status.
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform/process_end.hpp"

namespace mirandel::platform {

namespace {

volatile LONG g_status = 0;
volatile LONG g_promised = 0;

/// TerminateProcess rather than ExitProcess: no DLL is told of the end, so
/// no module code runs on the way out, and the other threads stop at once.
[[noreturn]] void terminate_with_status() noexcept {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(g_status));
  // TerminateProcess on the calling process does not return; should it,
  // ExitProcess still carries the status.
  ExitProcess(static_cast<UINT>(g_status));
}

/// Registered before any module is loaded. A module built against the same
/// C runtime that calls exit() runs this table, ours included; one with
/// another runtime reaches ExitProcess, whose status cannot be changed, and
/// is bounded by the watchdog only while its DLL notifications run.
void __cdecl end_with_promised_status() {
  if (!g_promised) return;
  std::fflush(nullptr);
  terminate_with_status();
}

LONG WINAPI end_on_unhandled_exception(EXCEPTION_POINTERS*) { terminate_with_status(); }

void __cdecl end_on_abort(int) { terminate_with_status(); }

DWORD g_limit_milliseconds = 0;

DWORD WINAPI end_at_deadline(void*) {
  Sleep(g_limit_milliseconds);
  terminate_with_status();
}

}  // namespace

void promise_exit_status(int status) noexcept {
  static const bool registered = std::atexit(end_with_promised_status) == 0;
  static_cast<void>(registered);
  InterlockedExchange(&g_status, status);
  InterlockedExchange(&g_promised, 1);
}

void guard_process_end(int status, std::chrono::milliseconds limit) noexcept {
  promise_exit_status(status);
  SetUnhandledExceptionFilter(end_on_unhandled_exception);
  // abort() raises SIGABRT in the runtime a module shares with us.
  static_cast<void>(std::signal(SIGABRT, end_on_abort));
  g_limit_milliseconds = static_cast<DWORD>(limit.count());
  HANDLE watchdog = CreateThread(nullptr, 0, end_at_deadline, nullptr, 0, nullptr);
  if (watchdog) CloseHandle(watchdog);
}

void end_process() noexcept {
  std::fflush(nullptr);
  terminate_with_status();
}

}  // namespace mirandel::platform
