// The command line.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <variant>

#include "platform/arguments.hpp"

namespace mirandel {

enum class RunMode { List, Sign };

/// The parsed command line. Paths are kept exactly as passed.
struct Invocation {
  std::filesystem::path module_path;
  std::optional<std::filesystem::path> output_path;  ///< absent when missing or blank
  RunMode mode = RunMode::List;
  platform::Argument request_path;  ///< Sign only; empty when missing; "-" is stdin
};

/// The outcome when the first argument is missing or blank: the caller
/// writes USAGE_LINE (messages.hpp) and stops.
struct Usage {};

/// Reads the arguments (program name first) into an Invocation, or Usage.
std::variant<Invocation, Usage> parse_invocation(std::span<const platform::Argument> arguments);

}  // namespace mirandel
