// Signal dispositions on POSIX: sigaction for every signal number, and the
// thread's signal mask.
#include <pthread.h>

#include <array>
#include <csignal>
#include <cstring>

#include "platform/signal_dispositions.hpp"

namespace mirandel::platform {

namespace {

// NSIG is one past the highest signal number, real-time signals included.
constexpr int SIGNAL_LIMIT = NSIG;

struct RecordedDisposition {
  bool recorded = false;
  struct sigaction action {};
};

// Written once at start, read once per unload: the program has one thread
// of its own.
std::array<RecordedDisposition, SIGNAL_LIMIT> recorded_dispositions;

// HeldSignals keeps the mask in 128 bytes.
static_assert(sizeof(sigset_t) <= 128);

}  // namespace

void record_signal_dispositions() noexcept {
  // Numbers the system refuses (SIGKILL, SIGSTOP, those the C library keeps
  // for itself) cannot be changed by a module either, and stay unrecorded.
  for (int number = 1; number < SIGNAL_LIMIT; ++number) {
    RecordedDisposition& entry = recorded_dispositions[static_cast<std::size_t>(number)];
    entry.recorded = ::sigaction(number, nullptr, &entry.action) == 0;
  }
}

void restore_signal_dispositions() noexcept {
  // Every number, not only those a module is known to touch: a handler left
  // behind on any of them would jump into unmapped code when it fires.
  for (int number = 1; number < SIGNAL_LIMIT; ++number) {
    const RecordedDisposition& entry = recorded_dispositions[static_cast<std::size_t>(number)];
    if (entry.recorded) static_cast<void>(::sigaction(number, &entry.action, nullptr));
  }
}

HeldSignals::HeldSignals() noexcept {
  sigset_t all;
  sigfillset(&all);
  // Faults are not held: the kernel does not hold back a synchronous one
  // anyway, but turns it into a kill and so passes by the handler that the
  // process's end has installed for it by then (process_end.hpp).
  for (int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS}) sigdelset(&all, fault);
  sigset_t previous;
  sigemptyset(&previous);
  static_cast<void>(::pthread_sigmask(SIG_BLOCK, &all, &previous));
  std::memcpy(previous_mask_, &previous, sizeof previous);
}

HeldSignals::~HeldSignals() {
  sigset_t previous;
  std::memcpy(&previous, previous_mask_, sizeof previous);
  static_cast<void>(::pthread_sigmask(SIG_SETMASK, &previous, nullptr));
}

}  // namespace mirandel::platform
