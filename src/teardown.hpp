// The module's teardown, which waits until the document is delivered: a
// module that hangs, crashes or ends the process in C_Finalize or while it
// is unloaded can no longer take the finished document or its status with it.
#pragma once

#include <chrono>

#include "pkcs11/module.hpp"
#include "platform/dynamic_library.hpp"

namespace mirandel {

/// How long C_Finalize, the unload and the module's destructors may take
/// once the document is delivered. A module stops its threads and frees its
/// memory in milliseconds; three seconds leave room for one that waits out a
/// reader's polling interval or a slow token's last transfer, while a caller
/// waiting for the exit sees no lasting hang. Under AddressSanitizer every
/// memory access of the teardown is checked, which makes it several times
/// slower (a test module that searches its whole memory at unload takes
/// seconds), so that build allows more.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::chrono::milliseconds TEARDOWN_LIMIT{20000};
#else
inline constexpr std::chrono::milliseconds TEARDOWN_LIMIT{3000};
#endif

/// Keeps `module` loaded, with every session closed, until tear_down_and_exit
/// finalises and unloads it; puts back the signal dispositions of the start
/// now, before anything is written, in case the module changed them.
void defer_teardown(pkcs11::ModuleRef module) noexcept;

/// The same for a library that opened but could not be bound as a module:
/// it is unloaded only after the document is delivered.
void defer_unload(platform::DynamicLibrary library) noexcept;

/// Called once the document's delivery settled `status`: finalises and
/// unloads the deferred module (if any), then ends the process with `status`.
/// A hang past TEARDOWN_LIMIT, a crash, abort() or exit() inside the teardown
/// ends it with `status` too.
[[noreturn]] void tear_down_and_exit(int status) noexcept;

}  // namespace mirandel
