// The one way out for a broken internal invariant.
#pragma once

#include <string_view>

namespace mirandel {

/// Exit status of a run ended by fatal().
inline constexpr int FATAL_EXIT_STATUS = 101;

/// Writes FATAL_PREFIX (messages.hpp), `message` and a line feed to standard
/// error and ends the process with FATAL_EXIT_STATUS. For broken invariants
/// only; expected failures travel as values into the document.
[[noreturn]] void fatal(std::string_view message) noexcept;

}  // namespace mirandel
