// The module's teardown after delivery.
#include "teardown.hpp"

#include <optional>
#include <utility>

#include "platform/process_end.hpp"
#include "platform/signal_dispositions.hpp"

namespace mirandel {

namespace {

/// The module between the end of the run and the process's end. One run
/// loads at most one module.
pkcs11::ModuleRef g_deferred;
/// A library that opened but was no module.
std::optional<platform::DynamicLibrary> g_deferred_library;

}  // namespace

void defer_teardown(pkcs11::ModuleRef module) noexcept {
  g_deferred = std::move(module);
  platform::restore_signal_dispositions();
}

void defer_unload(platform::DynamicLibrary library) noexcept {
  g_deferred_library.emplace(std::move(library));
  platform::restore_signal_dispositions();
}

void tear_down_and_exit(int status) noexcept {
  platform::guard_process_end(status, TEARDOWN_LIMIT);
  // The unload puts back the dispositions recorded last; recorded again now,
  // they keep the handlers that hold the status.
  platform::record_signal_dispositions();
  // C_Finalize (after a successful C_Initialize), then the unload.
  g_deferred.reset();
  g_deferred_library.reset();
  platform::end_process();
}

}  // namespace mirandel
