// OpenSSL's libcrypto, opened with dlopen(RTLD_LOCAL) on first use and its
// functions looked up by name. The program does not link it: a library linked
// at start puts its symbols into the global lookup scope, where a PKCS#11
// module that brings its own OpenSSL would then resolve EVP_sha256 and the
// rest to ours, of another version and ABI. Opened locally, none of its
// symbols is visible to a module, and a run that needs no cryptography (a
// listing) never opens it. Only the *_posix.cpp files include this header;
// the OpenSSL headers give the declarations, never a link-time reference.
#pragma once

#include <openssl/evp.h>

namespace mirandel::platform {

// Every libcrypto function the program calls. A file that needs another one
// adds it here; each is looked up once, when libcrypto is first opened.
#define MIRANDEL_LIBCRYPTO_FUNCTIONS(X) \
  X(EVP_Digest)                         \
  X(EVP_sha256)                         \
  X(EVP_sha384)                         \
  X(EVP_sha512)

/// libcrypto's functions, each typed as OpenSSL declares it.
struct Libcrypto {
#define MIRANDEL_LIBCRYPTO_MEMBER(name) decltype(&::name) name = nullptr;
  MIRANDEL_LIBCRYPTO_FUNCTIONS(MIRANDEL_LIBCRYPTO_MEMBER)
#undef MIRANDEL_LIBCRYPTO_MEMBER
};

/// Opens libcrypto.so.3 on the first call (thread-safe) and looks up every
/// function above; later calls return the same table. The library stays
/// loaded until the process ends (it registers its own exit handlers).
/// nullptr when the library or any of the functions is missing.
const Libcrypto* libcrypto() noexcept;

}  // namespace mirandel::platform
