// A minimal DLL for the loader tests. It notes the calling thread's error
// mode while it is being attached, which is the mode in force during
// LoadLibraryExW.
#include <windows.h>

namespace {
DWORD g_error_mode_at_attach = 0xFFFFFFFF;
}

extern "C" __declspec(dllexport) int mirandel_probe_answer() { return 42; }

extern "C" __declspec(dllexport) DWORD mirandel_probe_error_mode_at_attach() {
  return g_error_mode_at_attach;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_error_mode_at_attach = GetThreadErrorMode();
  return TRUE;
}
