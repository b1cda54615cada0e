// The command line: fixed positions, blank arguments count as missing.
#include "invocation.hpp"

#include "codec/utf8.hpp"

namespace mirandel {

namespace {

/// The argument at `position` (0 is the program name), or null when absent.
const platform::Argument* argument_at(std::span<const platform::Argument> arguments,
                                      std::size_t position) {
  return position < arguments.size() ? &arguments[position] : nullptr;
}

}  // namespace

std::variant<Invocation, Usage> parse_invocation(std::span<const platform::Argument> arguments) {
  // The blank test and the comparison with "sign" look at the UTF-8 form; the
  // paths keep their native form untouched, so a module path with leading or
  // trailing blanks reaches the loader exactly as the caller wrote it. Bytes
  // that are not UTF-8 are never white space, so such a path is not blank.
  const platform::Argument* module = argument_at(arguments, 1);
  if (module == nullptr || codec::is_blank(module->utf8)) return Usage{};

  Invocation invocation;
  invocation.module_path = module->native;

  const platform::Argument* output = argument_at(arguments, 2);
  if (output != nullptr && !codec::is_blank(output->utf8)) invocation.output_path = output->native;

  const platform::Argument* mode = argument_at(arguments, 3);
  if (mode != nullptr && mode->utf8 == "sign") {
    invocation.mode = RunMode::Sign;
    // A missing request path stays empty: it names no file, and the signing
    // run reports the request as unreadable.
    if (const platform::Argument* request = argument_at(arguments, 4)) {
      invocation.request_path = *request;
    }
  }
  return invocation;
}

}  // namespace mirandel
