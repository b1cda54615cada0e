// The end of the process on POSIX: an exit handler, signal handlers and a
// watchdog thread, each ending the process with _exit and the promised
// status.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "platform/process_end.hpp"

namespace mirandel::platform {

namespace {

/// The status every way out below ends the process with. Read by signal
/// handlers and by the watchdog thread, hence volatile sig_atomic_t.
volatile sig_atomic_t g_status = 0;
volatile sig_atomic_t g_promised = 0;

/// A crash, abort() or an ending signal: the status stays the delivery's.
constexpr int GUARDED_SIGNALS[] = {SIGSEGV, SIGBUS,  SIGILL,  SIGFPE, SIGABRT,
                                   SIGSYS,  SIGTRAP, SIGTERM, SIGINT, SIGHUP};

/// Room for the handler when a module's code overflowed the stack.
alignas(16) unsigned char g_alternate_stack[64 * 1024];

extern "C" void end_on_signal(int) { ::_exit(g_status); }

/// Registered before any module is loaded, so it runs after every exit
/// handler a module registers: a module's own destructors still run when it
/// calls exit(), but the status is ours. Nothing runs after it.
extern "C" void end_with_promised_status() {
  if (!g_promised) return;
  std::fflush(nullptr);
  ::_exit(g_status);
}

struct Watchdog {
  timespec deadline;
};
Watchdog g_watchdog;

extern "C" void* end_at_deadline(void*) {
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &g_watchdog.deadline, nullptr) != 0) {
  }
  ::_exit(g_status);
}

/// A thread that ends the process at the deadline. It runs with every signal
/// blocked, so none meant for the process lands on it. Should the thread not
/// start, SIGALRM (handled like the rest) ends the process instead.
void start_watchdog(std::chrono::milliseconds limit) noexcept {
  ::clock_gettime(CLOCK_MONOTONIC, &g_watchdog.deadline);
  const long long nanoseconds =
      g_watchdog.deadline.tv_nsec + static_cast<long long>(limit.count() % 1000) * 1000000;
  g_watchdog.deadline.tv_sec +=
      static_cast<time_t>(limit.count() / 1000 + nanoseconds / 1000000000);
  g_watchdog.deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);

  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  const bool started = ::pthread_create(&thread, nullptr, end_at_deadline, nullptr) == 0;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (started) {
    ::pthread_detach(thread);
    return;
  }
  struct sigaction handler {};
  handler.sa_handler = end_on_signal;
  ::sigemptyset(&handler.sa_mask);
  ::sigaction(SIGALRM, &handler, nullptr);
  ::alarm(static_cast<unsigned>((limit.count() + 999) / 1000));
}

}  // namespace

void promise_exit_status(int status) noexcept {
  static const bool registered = std::atexit(end_with_promised_status) == 0;
  static_cast<void>(registered);
  g_status = status;
  g_promised = 1;
}

void guard_process_end(int status, std::chrono::milliseconds limit) noexcept {
  promise_exit_status(status);
  stack_t alternate{};
  alternate.ss_sp = g_alternate_stack;
  alternate.ss_size = sizeof g_alternate_stack;
  static_cast<void>(::sigaltstack(&alternate, nullptr));
  struct sigaction handler {};
  handler.sa_handler = end_on_signal;
  handler.sa_flags = SA_ONSTACK;
  ::sigfillset(&handler.sa_mask);
  for (int signal : GUARDED_SIGNALS) static_cast<void>(::sigaction(signal, &handler, nullptr));
  // A module may have blocked them on this thread; a blocked fault would be
  // turned into a kill by the kernel.
  sigset_t guarded;
  ::sigemptyset(&guarded);
  for (int signal : GUARDED_SIGNALS) ::sigaddset(&guarded, signal);
  ::pthread_sigmask(SIG_UNBLOCK, &guarded, nullptr);
  start_watchdog(limit);
}

void end_process() noexcept {
  std::fflush(nullptr);
  ::_exit(g_status);
}

}  // namespace mirandel::platform
