// The start-up shared by both run modes.
#include "startup.hpp"

#include <array>
#include <cstdio>
#include <utility>
#include <variant>

#include "messages.hpp"
#include "pkcs11/errors.hpp"
#include "pkcs11/slots.hpp"
#include "platform/console.hpp"
#include "platform/dynamic_library.hpp"
#include "teardown.hpp"

namespace mirandel {

namespace {

/// The failure message: the fixed Italian prefix, then the binding's text.
std::string start_up_message(std::string_view prefix, const pkcs11::BindingError& error) {
  std::string message(prefix);
  message += pkcs11::error_text(error);
  return message;
}

}  // namespace

std::string foreign_module_note(std::uint16_t machine) {
  if (machine == platform::PE_MACHINE_X86) return std::string(MODULE_FOR_X86);
  if (machine == platform::PE_MACHINE_X64) return std::string(MODULE_FOR_X64);
  std::array<char, 8> number{};
  std::snprintf(number.data(), number.size(), "0x%04x", static_cast<unsigned>(machine));
  std::string note(MODULE_FOR_OTHER_MACHINE_PREFIX);
  note += number.data();
  note += '\n';
  return note;
}

std::expected<StartedModule, std::string> start_module(const std::filesystem::path& module_path) {
  std::optional<platform::DynamicLibrary> not_a_module;
  pkcs11::Result<pkcs11::ModuleRef> loaded = pkcs11::load_module(module_path, &not_a_module);
  if (!loaded) {
    if (not_a_module) defer_unload(std::move(*not_a_module));
    // The document says only that the module could not be loaded, as for a
    // missing file; the caller's log learns which build would load it.
    const pkcs11::LoaderFailed* failed = std::get_if<pkcs11::LoaderFailed>(&loaded.error());
    if (failed != nullptr && failed->foreign_machine)
      platform::write_stderr(foreign_module_note(*failed->foreign_machine));
    return std::unexpected(start_up_message(MODULE_NOT_LOADABLE_PREFIX, loaded.error()));
  }
  pkcs11::ModuleRef module = std::move(*loaded);

  // After a failure from here on the module's teardown is deferred until
  // the caller's document is delivered.
  if (pkcs11::Result<void> initialized = pkcs11::initialize_module(*module); !initialized) {
    defer_teardown(std::move(module));
    return std::unexpected(start_up_message(INITIALIZE_FAILED_PREFIX, initialized.error()));
  }

  pkcs11::Result<std::vector<ck::CK_SLOT_ID>> slots = pkcs11::get_slots_with_token(*module);
  if (!slots) {
    defer_teardown(std::move(module));
    return std::unexpected(start_up_message(SLOT_LIST_FAILED_PREFIX, slots.error()));
  }
  return StartedModule{std::move(module), std::move(*slots)};
}

}  // namespace mirandel
