// The standard streams around a foreign module: the document goes to a
// private handle on the real standard output, while whatever a module
// prints to standard output lands on standard error.
#pragma once

namespace mirandel::platform {

/// To be called first thing at start, before any module is loaded. Opens
/// each of standard input, output and error that is closed on the null
/// device, so that no file a module opens can take its place. Keeps a
/// private, non-inherited handle to the real standard output, used from then
/// on by write_document_to_stdout, and points the process's standard output
/// (descriptor 1; on Windows also the standard handle and the C runtime's
/// descriptor 1) at standard error for the rest of the run. Failures leave
/// the streams as they were.
void guard_standard_streams() noexcept;

}  // namespace mirandel::platform
