// The listing run.
#pragma once

#include "documents.hpp"
#include "invocation.hpp"

namespace mirandel {

/// Starts the module and lists every slot with a token; the module's
/// teardown is deferred (teardown.hpp) until the document is delivered.
ListingDocument run_listing(const Invocation& invocation);

}  // namespace mirandel
