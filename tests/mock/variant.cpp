// The name of the variant this library was built as (set by CMake), recorded
// in the LOAD line of the call log.
#include "mock_module.hpp"

#ifndef MIRANDEL_MOCK_VARIANT
#error "MIRANDEL_MOCK_VARIANT must name the variant"
#endif

namespace mirandel::mock {
const char* const VARIANT_NAME = MIRANDEL_MOCK_VARIANT;
}
