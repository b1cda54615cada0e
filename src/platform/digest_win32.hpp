// CNG's names of the digests. Internal to the Windows platform files.
#pragma once

#include "platform/digest.hpp"

namespace mirandel::platform::win32 {

/// CNG's algorithm identifier of `algorithm` (BCRYPT_SHA256_ALGORITHM, ...),
/// a static string; nullptr for a value outside the enumeration.
const wchar_t* cng_digest_name(DigestAlgorithm algorithm) noexcept;

}  // namespace mirandel::platform::win32
