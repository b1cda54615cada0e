// The entry point: read the command line, run the chosen mode, write its
// document, tear the module down, exit.
#include <exception>
#include <new>
#include <optional>
#include <variant>
#include <vector>

#include "emit.hpp"
#include "fatal.hpp"
#include "inventory/listing.hpp"
#include "invocation.hpp"
#include "messages.hpp"
#include "platform/arguments.hpp"
#include "platform/console.hpp"
#include "platform/file_io.hpp"
#include "platform/process_end.hpp"
#include "platform/process_hardening.hpp"
#include "platform/signal_dispositions.hpp"
#include "platform/standard_streams.hpp"
#include "signing/signing.hpp"
#include "teardown.hpp"

namespace {

/// Exit status after a whole document reached its destination, whatever it
/// reports.
constexpr int EXIT_DOCUMENT = 0;
/// Exit status when the document could not be delivered in full (the file
/// or standard output could not be written, or standard output was closed).
constexpr int EXIT_UNDELIVERED = 1;
constexpr int EXIT_USAGE = 2;

int run(int argc, char** argv) {
  using namespace mirandel;
  // On Windows argv is ignored: the platform layer splits the UTF-16 command
  // line itself.
  const std::vector<platform::Argument> arguments = platform::command_line_arguments(argc, argv);
  std::variant<Invocation, Usage> outcome = parse_invocation(arguments);
  if (std::holds_alternative<Usage>(outcome)) {
    // Nothing else is touched: no module, no output file, no standard output.
    // Should standard error be unwritable, the status is still the usage one.
    platform::write_stderr(USAGE_LINE);
    return EXIT_USAGE;
  }
  const Invocation& invocation = std::get<Invocation>(outcome);
  // Fixed before the module loads: a module that changes the working
  // directory does not move the document.
  const std::optional<platform::OutputFile> output(invocation.output_path);
  // A module that ends the process with exit() before the document is
  // delivered does not report success.
  platform::promise_exit_status(EXIT_UNDELIVERED);
  // Each run closes its sessions, wipes the PIN and defers the module's
  // teardown, whose signal handlers are already gone: the document is
  // delivered and the status settled first, and only then is the module
  // finalised and unloaded, in a way that can no longer change either.
  const bool delivered = invocation.mode == RunMode::Sign
                             ? emit_document(run_signing(invocation), output)
                             : emit_document(run_listing(invocation), output);
  tear_down_and_exit(delivered ? EXIT_DOCUMENT : EXIT_UNDELIVERED);
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else, and before any module is loaded: a module's output
  // must never reach the document's stream, nor a crash dump the PIN.
  mirandel::platform::harden_process();
  // What the module's teardown puts back: SIGPIPE and SIGXFSZ stay ignored.
  mirandel::platform::record_signal_dispositions();
  mirandel::platform::guard_standard_streams();
  // Expected failures are values that end up in the document; an exception
  // reaching this point means memory ran out or an invariant broke.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    mirandel::fatal(mirandel::FATAL_OUT_OF_MEMORY);
  } catch (const std::exception&) {
    mirandel::fatal(mirandel::FATAL_UNEXPECTED_EXCEPTION);
  } catch (...) {
    mirandel::fatal(mirandel::FATAL_UNKNOWN_EXCEPTION);
  }
}
