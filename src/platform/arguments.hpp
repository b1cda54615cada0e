// The process's command-line arguments.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace mirandel::platform {

/// One command-line argument in two forms: the native form, handed to the OS
/// unchanged when the argument is a path, and UTF-8 text for the checks the
/// program makes on it (the blank test, the comparison with "sign" and "-").
/// Where the native form is not valid Unicode (a lone UTF-16 surrogate on
/// Windows) the UTF-8 form holds U+FFFD in its place; on POSIX the UTF-8 form
/// is the argv bytes themselves.
struct Argument {
  std::filesystem::path native;
  std::string utf8;
};

/// The arguments, program name first. On POSIX from argv; on Windows from the
/// UTF-16 command line split by the usual rules (argv is then ignored).
std::vector<Argument> command_line_arguments(int argc, char** argv);

/// Builds an Argument from UTF-8 bytes (tests and POSIX).
Argument argument_from_utf8(std::string utf8);

}  // namespace mirandel::platform
