// The listing run.
#pragma once

#include "documents.hpp"
#include "invocation.hpp"

namespace mirandel {

/// Starts the module and lists every slot with a token; the module is
/// released before the document is returned.
ListingDocument run_listing(const Invocation& invocation);

}  // namespace mirandel
