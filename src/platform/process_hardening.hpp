// Process-wide settings made once at start.
#pragma once

namespace mirandel::platform {

/// Keeps the process's memory, the PIN included, out of core dumps and
/// crash reports, and turns the signals a write can raise (a closed pipe, a
/// file-size limit) into ordinary write failures. Nothing here can fail in a
/// way the run must know about.
void harden_process() noexcept;

}  // namespace mirandel::platform
