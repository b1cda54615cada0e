// What the process does on each signal, recorded at start and put back by
// every unload of a library (dynamic_library.hpp), so that no handler of a
// module outlives its code.
#pragma once

namespace mirandel::platform {

/// Records the disposition of every signal as it is now. Called once at
/// start, after harden_process, so that the dispositions put back keep
/// SIGPIPE and SIGXFSZ ignored.
void record_signal_dispositions() noexcept;

/// Puts back every disposition record_signal_dispositions saw. Does nothing
/// before it was called. On Windows also makes sure that a console control
/// event never reaches a handler a module registered and left behind.
void restore_signal_dispositions() noexcept;

/// Holds back the delivery of signals to this thread while it lives, and
/// lets the held ones through when it ends; the mask is then the one it
/// found. Around an unload and the restore that follows it, a signal waits
/// for the dispositions to be put back instead of running a handler whose
/// code is gone. Faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS)
/// are not held. Nothing to hold back on Windows.
class HeldSignals {
 public:
  HeldSignals() noexcept;
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  /// The mask found at construction, in the platform's own form.
  alignas(8) unsigned char previous_mask_[128];
};

}  // namespace mirandel::platform
