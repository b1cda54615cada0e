// The signing run.
#pragma once

#include "documents.hpp"
#include "invocation.hpp"

namespace mirandel {

/// Reads and checks the request, starts the module, finds the key and signs;
/// the module's teardown is deferred (teardown.hpp) until the document is
/// delivered.
SignatureDocument run_signing(const Invocation& invocation);

}  // namespace mirandel
