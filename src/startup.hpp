// The start-up shared by both run modes: load, initialise, list the slots.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "pkcs11/cryptoki.hpp"
#include "pkcs11/module.hpp"

namespace mirandel {

struct StartedModule {
  pkcs11::ModuleRef module;                      ///< the caller's one reference
  std::vector<ck::CK_SLOT_ID> slots_with_token;  ///< in the module's order
};

/// The line for standard error about a module file built for the processor
/// of PE Machine value `machine`: which build of the program loads it.
std::string foreign_module_note(std::uint16_t machine);

/// load_module, initialize_module, get_slots_with_token; stops at the first
/// failure and gives its Italian message. On failure after loading the module
/// has already been handed to defer_teardown, and a library that opened but
/// was no module to defer_unload. A module built for another
/// processor also gets foreign_module_note on standard error.
std::expected<StartedModule, std::string> start_module(const std::filesystem::path& module_path);

}  // namespace mirandel
