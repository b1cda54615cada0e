// The command line.
#pragma once

#include <filesystem>
#include <optional>
#include <span>
#include <string_view>
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

/// The outcome when the first argument is missing or blank.
struct Usage {};

/// The usage line with its line feed (71 bytes), for standard error.
inline constexpr std::string_view USAGE_LINE =
    "uso: mirandel-pkcs11-helper <modulo> [output.json] [sign <input.json>]\n";

/// Reads the arguments (program name first) into an Invocation, or Usage.
std::variant<Invocation, Usage> parse_invocation(std::span<const platform::Argument> arguments);

}  // namespace mirandel
