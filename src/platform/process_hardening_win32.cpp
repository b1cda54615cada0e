// Process-wide settings on Windows.
#include "platform/process_hardening.hpp"

#include <windows.h>

namespace mirandel::platform {

namespace {

/// werapi.h's WER_FAULT_REPORTING_FLAG_NOHEAP: reports leave out the heap.
constexpr DWORD WER_NO_HEAP = 1;

using WerSetFlagsFunction = HRESULT(WINAPI*)(DWORD);

}  // namespace

void harden_process() noexcept {
  // A crash ends the process without the error-reporting dialog or report
  // (the program never prompts, and a report may carry the PIN), and a
  // missing disk gives an error instead of a box.
  SetErrorMode(SetErrorMode(0) | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  // Should error reporting run all the same, the heap stays out of it.
  // Looked up, so that a Windows or Wine without it still starts.
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC found = kernel ? GetProcAddress(kernel, "WerSetFlags") : nullptr;
  if (found) {
    auto set_flags = reinterpret_cast<WerSetFlagsFunction>(reinterpret_cast<void*>(found));
    static_cast<void>(set_flags(WER_NO_HEAP));
  }
}

}  // namespace mirandel::platform
