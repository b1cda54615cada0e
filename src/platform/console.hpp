// Standard streams: the document on standard output, the usage line on
// standard error, the signing request from standard input. All three are
// binary: no byte is translated.
#pragma once

#include <string_view>

#include "secret.hpp"

namespace mirandel::platform {

/// Writes the document and one line feed to the real standard output (see
/// guard_standard_streams). On a Windows console whose output code page is
/// not 65001 the text is converted to UTF-16 and written with WriteConsoleW;
/// otherwise the bytes go unchanged. True only when all of it was written;
/// false as well when standard output was closed at start.
bool write_document_to_stdout(std::string_view utf8_document);

/// Writes the UTF-8 text `bytes` to standard error: unchanged, except on a
/// Windows console whose output code page is not 65001, where it goes as
/// UTF-16 through WriteConsoleW. Failures are ignored.
void write_stderr(std::string_view bytes);

/// Reads standard input to its end into `out`, retrying interrupted reads.
/// False on a read failure.
bool read_stdin(SecretBytes& out);

}  // namespace mirandel::platform
