// Command-line arguments on POSIX: argv arrives already split, and its bytes
// are both the native path and the text that is checked.
#include <utility>

#include "platform/arguments.hpp"

namespace mirandel::platform {

std::vector<Argument> command_line_arguments(int argc, char** argv) {
  std::vector<Argument> arguments;
  if (argc <= 0 || argv == nullptr) return arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  // argv[argc] is null by contract; stop early at a null anyway rather than
  // read through it.
  for (int i = 0; i < argc && argv[i] != nullptr; ++i)
    arguments.push_back(argument_from_utf8(argv[i]));
  return arguments;
}

Argument argument_from_utf8(std::string utf8) {
  // A POSIX path is a byte string: the native form is the same bytes, with no
  // conversion, even when they are not valid UTF-8.
  Argument argument;
  argument.native = std::filesystem::path(utf8);
  argument.utf8 = std::move(utf8);
  return argument;
}

}  // namespace mirandel::platform
