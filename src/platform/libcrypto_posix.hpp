// OpenSSL's libcrypto, opened with dlopen(RTLD_LOCAL) on first use and its
// functions looked up by name. The program does not link it: a library linked
// at start puts its symbols into the global lookup scope, where a PKCS#11
// module that brings its own OpenSSL would then resolve EVP_sha256 and the
// rest to ours, of another version and ABI. Opened locally, none of its
// symbols is visible to a module, and a run that needs no cryptography (a
// listing) never opens it. Only the *_posix.cpp files include this header;
// the OpenSSL headers give the declarations, never a link-time reference.
#pragma once

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "platform/digest.hpp"

namespace mirandel::platform {

// Every libcrypto function the program calls. A file that needs another one
// adds it here; each is looked up once, when libcrypto is first opened.
#define MIRANDEL_LIBCRYPTO_FUNCTIONS(X) \
  X(BN_bin2bn)                          \
  X(BN_free)                            \
  X(ECDSA_SIG_free)                     \
  X(ECDSA_SIG_new)                      \
  X(ECDSA_SIG_set0)                     \
  X(ERR_clear_error)                    \
  X(EVP_Digest)                         \
  X(EVP_PKEY_CTX_free)                  \
  X(EVP_PKEY_CTX_new)                   \
  X(EVP_PKEY_CTX_set_rsa_mgf1_md)       \
  X(EVP_PKEY_CTX_set_rsa_padding)       \
  X(EVP_PKEY_CTX_set_rsa_pss_saltlen)   \
  X(EVP_PKEY_CTX_set_signature_md)      \
  X(EVP_PKEY_free)                      \
  X(EVP_PKEY_get_base_id)               \
  X(EVP_PKEY_get_bits)                  \
  X(EVP_PKEY_get_group_name)            \
  X(EVP_PKEY_verify)                    \
  X(EVP_PKEY_verify_init)               \
  X(EVP_sha256)                         \
  X(EVP_sha384)                         \
  X(EVP_sha512)                         \
  X(X509_free)                          \
  X(X509_get_pubkey)                    \
  X(d2i_X509)                           \
  X(i2d_ECDSA_SIG)

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

/// libcrypto's description of `algorithm`, owned by the library; nullptr
/// only if the library has none.
const EVP_MD* message_digest(const Libcrypto& crypto, DigestAlgorithm algorithm) noexcept;

}  // namespace mirandel::platform
