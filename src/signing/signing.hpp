// The signing run.
#pragma once

#include "documents.hpp"
#include "invocation.hpp"

namespace mirandel {

/// Reads and checks the request, starts the module, finds the key and signs;
/// the module is released before the document is returned.
SignatureDocument run_signing(const Invocation& invocation);

}  // namespace mirandel
