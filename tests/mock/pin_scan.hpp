// A search of the whole process's writable memory for a PIN, so that a test
// can show that no copy of the PIN is left behind.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirandel::mock {

/// Where the PIN was found: one "<mapping>+0x<offset>" per copy.
using PinCopies = std::vector<std::string>;

/// Searches every readable and writable mapping of this process for the PIN
/// whose bytes, each inverted (XOR 0xFF), are `inverted`. The search never
/// puts the PIN itself together anywhere in memory, so the caller's copy (the
/// inverted one) is not found. nullopt where the platform offers no way to
/// read the process's mappings (only Linux does here).
std::optional<PinCopies> find_pin_copies(std::string_view inverted);

}  // namespace mirandel::mock
