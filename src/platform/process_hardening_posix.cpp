// Process-wide settings on POSIX (Linux adds prctl).
#include "platform/process_hardening.hpp"

#include <sys/resource.h>

#include <csignal>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace mirandel::platform {

void harden_process() noexcept {
  // No core file, whatever the soft and hard limits were: the PIN may be in
  // memory when a module crashes the process.
  const rlimit no_core = {0, 0};
  static_cast<void>(::setrlimit(RLIMIT_CORE, &no_core));
#if defined(__linux__)
  // Also keeps a core pattern that pipes to a handler from dumping us, and
  // other processes of the same user from reading our memory.
  static_cast<void>(::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0));
#endif
  // A reader that went away gives EPIPE, and a file-size limit gives EFBIG:
  // both are write failures the delivery reports, instead of a kill that
  // would leave the temporary file behind.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace mirandel::platform
