// The fatal-error path.
#include "fatal.hpp"

#include <cstdlib>

#include "messages.hpp"
#include "platform/console.hpp"

namespace mirandel {

void fatal(std::string_view message) noexcept {
  // Three writes instead of one joined string: this path may run because
  // memory ran out, so it must not allocate.
  platform::write_stderr(FATAL_PREFIX);
  platform::write_stderr(message);
  platform::write_stderr("\n");
  // _Exit skips static destructors, which may be in the very state that
  // brought us here.
  std::_Exit(FATAL_EXIT_STATUS);
}

}  // namespace mirandel
