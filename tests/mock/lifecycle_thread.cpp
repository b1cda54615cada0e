// A module that keeps a thread of its own between C_Initialize and
// C_Finalize, as a module that watches its readers does. The thread runs in
// the module's code all the time, so a module unloaded without C_Finalize
// takes the process down as soon as the thread is next scheduled.
#include <atomic>

#include "mock_module.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <thread>
#endif

namespace mirandel::mock {
namespace {

std::atomic<bool> g_stop{false};

void watch_readers() {
  while (!g_stop.load()) {
#ifdef _WIN32
    SwitchToThread();
#else
    std::this_thread::yield();
#endif
  }
}

#ifdef _WIN32
// CreateThread itself: the C runtime's thread start would pin the library in
// memory for the thread's lifetime, and FreeLibrary would not unload it.
HANDLE g_worker = nullptr;

DWORD WINAPI worker_main(void*) {
  watch_readers();
  return 0;
}

void start_worker() {
  g_stop = false;
  g_worker = CreateThread(nullptr, 0, worker_main, nullptr, 0, nullptr);
}

void stop_worker() {
  if (!g_worker) return;
  g_stop = true;
  WaitForSingleObject(g_worker, INFINITE);
  CloseHandle(g_worker);
  g_worker = nullptr;
}
#else
std::thread* g_worker = nullptr;

void start_worker() {
  g_stop = false;
  g_worker = new std::thread(watch_readers);
}

void stop_worker() {
  if (!g_worker) return;
  g_stop = true;
  g_worker->join();
  delete g_worker;
  g_worker = nullptr;
}
#endif

[[maybe_unused]] const bool g_hooked = (lifecycle_hooks = {start_worker, stop_worker}, true);

}  // namespace
}  // namespace mirandel::mock
