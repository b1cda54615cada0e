// Signal dispositions on Windows: the C runtime's signal table, and console
// control handlers.
#include <windows.h>

#include <array>
#include <csignal>

#include "platform/signal_dispositions.hpp"

namespace mirandel::platform {

namespace {

using SignalHandler = void (*)(int);

/// The signals the C runtime knows. A module linked against the same
/// msvcrt.dll shares this table with us.
constexpr std::array<int, 7> RUNTIME_SIGNALS = {SIGINT,  SIGILL,   SIGFPE, SIGSEGV,
                                                SIGTERM, SIGBREAK, SIGABRT};

struct RecordedDisposition {
  bool recorded = false;
  SignalHandler handler = SIG_DFL;
};

std::array<RecordedDisposition, RUNTIME_SIGNALS.size()> recorded_dispositions;

/// Registered after an unload, and so called before any handler registered
/// earlier: it ends the process the way the system's own handler does, and
/// a handler a module left behind is never reached. Ctrl+C input that the
/// process was told to ignore never gets this far.
BOOL WINAPI end_on_control_event(DWORD) {
  ExitProcess(STATUS_CONTROL_C_EXIT);
  return TRUE;
}

}  // namespace

void record_signal_dispositions() noexcept {
  // The runtime gives a disposition only by replacing it: read it by
  // setting the default and putting the old one straight back.
  for (std::size_t i = 0; i < RUNTIME_SIGNALS.size(); ++i) {
    const SignalHandler previous = std::signal(RUNTIME_SIGNALS[i], SIG_DFL);
    if (previous == SIG_ERR) continue;
    static_cast<void>(std::signal(RUNTIME_SIGNALS[i], previous));
    recorded_dispositions[i] = {true, previous};
  }
}

void restore_signal_dispositions() noexcept {
  for (std::size_t i = 0; i < RUNTIME_SIGNALS.size(); ++i)
    if (recorded_dispositions[i].recorded)
      static_cast<void>(std::signal(RUNTIME_SIGNALS[i], recorded_dispositions[i].handler));
  // Console control handlers cannot be listed, so those a module registered
  // cannot be removed; ours goes in front of them instead. Once is enough.
  static const bool registered = SetConsoleCtrlHandler(end_on_control_event, TRUE) != 0;
  static_cast<void>(registered);
}

// Signals on Windows are raised synchronously by the runtime or delivered on
// a thread of their own: there is nothing to hold back on this thread.
HeldSignals::HeldSignals() noexcept : previous_mask_{} {}

HeldSignals::~HeldSignals() = default;

}  // namespace mirandel::platform
