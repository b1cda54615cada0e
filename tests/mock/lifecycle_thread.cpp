// A module that keeps a thread of its own between C_Initialize and
// C_Finalize, as a module that watches its readers does. The thread runs in
// the module's code all the time, so a module unloaded without C_Finalize
// takes the process down as soon as the thread is next scheduled.
#include <atomic>
#include <thread>

#include "mock_module.hpp"

namespace mirandel::mock {
namespace {

std::atomic<bool> g_stop{false};
std::thread* g_worker = nullptr;

void watch_readers() {
  while (!g_stop.load()) std::this_thread::yield();
}

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

[[maybe_unused]] const bool g_hooked = (lifecycle_hooks = {start_worker, stop_worker}, true);

}  // namespace
}  // namespace mirandel::mock
