// A module that changes signal dispositions in C_Initialize and does not put
// them back in C_Finalize. Built twice:
//  - MIRANDEL_MOCK_SIGNAL_HANDLERS: handlers of its own for SIGCHLD and
//    SIGPIPE, and a helper process that signals its parent (SIGCHLD) until
//    the parent ends, as the children of a module's helper daemon would. A
//    handler left behind after the unload jumps into unmapped code. On
//    Windows: the C runtime's SIGINT, SIGTERM and SIGBREAK, and a console
//    control handler.
//  - otherwise: SIGPIPE and SIGXFSZ back to their defaults, which kill the
//    process on a write to a gone reader or past the file-size limit (no
//    such signals on Windows: nothing is changed there).
#include <csignal>

#include "mock_module.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace mirandel::mock {
namespace {

#if defined(MIRANDEL_MOCK_SIGNAL_HANDLERS)
volatile std::sig_atomic_t g_signals_seen = 0;

void count_signal(int) { g_signals_seen = g_signals_seen + 1; }
#endif

#if defined(MIRANDEL_MOCK_SIGNAL_HANDLERS) && defined(_WIN32)

BOOL WINAPI count_control_event(DWORD) {
  count_signal(0);
  return FALSE;
}

void change_dispositions() {
  std::signal(SIGINT, count_signal);
  std::signal(SIGTERM, count_signal);
  std::signal(SIGBREAK, count_signal);
  SetConsoleCtrlHandler(count_control_event, TRUE);
}

#elif defined(MIRANDEL_MOCK_SIGNAL_HANDLERS)

void change_dispositions() {
  struct sigaction action {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGCHLD, &action, nullptr);
  sigaction(SIGPIPE, &action, nullptr);
  const pid_t parent = getpid();
  if (fork() != 0) return;
  // The helper holds none of the parent's files, so that the end of the
  // parent's output is seen when the parent ends.
  for (int fd = 0; fd < 1024; ++fd) close(fd);
  while (getppid() == parent) {
    kill(parent, SIGCHLD);
    usleep(200);
  }
  _exit(0);
}

#elif defined(_WIN32)

void change_dispositions() {}

#else

void change_dispositions() {
  std::signal(SIGPIPE, SIG_DFL);
  std::signal(SIGXFSZ, SIG_DFL);
}

#endif

[[maybe_unused]] const bool g_hooked = (lifecycle_hooks.initialized = change_dispositions, true);

}  // namespace
}  // namespace mirandel::mock
