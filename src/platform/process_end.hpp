// How the process ends once a run has a settled exit status: the module's
// teardown comes after the document's delivery, and nothing it does (a hang,
// a crash, abort(), exit()) changes the status the delivery settled.
#pragma once

#include <chrono>

namespace mirandel::platform {

/// From this call on, an exit() from anywhere in the process (a module's
/// included) ends it with `status` instead of the one exit() was given; a
/// later call replaces the status. Before the first call exit() is left
/// alone.
void promise_exit_status(int status) noexcept;

/// Promises `status` as above and, until the process ends, also makes a
/// crash or abort() (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS,
/// SIGTRAP; on Windows an unhandled exception or the C runtime's SIGABRT)
/// and SIGTERM, SIGINT and SIGHUP end it with `status`. After `limit` the
/// process ends with `status` whatever it is doing then.
void guard_process_end(int status, std::chrono::milliseconds limit) noexcept;

/// Flushes the C runtime's buffered output (a module's printf lands on
/// standard error) and ends the process with the promised status at once,
/// without running exit handlers or unloading anything.
[[noreturn]] void end_process() noexcept;

}  // namespace mirandel::platform
