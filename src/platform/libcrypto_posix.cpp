// libcrypto opened locally, on first use.

#include "platform/libcrypto_posix.hpp"

#include <dlfcn.h>
#include <openssl/opensslv.h>

// The soname below and the declarations of the OpenSSL headers must be of one
// ABI: headers of another major version would type every call wrongly.
#if !defined(OPENSSL_VERSION_MAJOR) || OPENSSL_VERSION_MAJOR != 3
#error libcrypto is opened as libcrypto.so.3, so the build needs OpenSSL 3 headers
#endif

namespace mirandel::platform {

namespace {

// The soname of OpenSSL 3, whose ABI the declarations above describe.
constexpr const char* LIBCRYPTO_SONAME = "libcrypto.so.3";

Libcrypto* open_libcrypto() noexcept {
  // RTLD_LOCAL keeps every symbol out of the global scope; RTLD_NODELETE
  // because nothing ever unloads it and its exit handlers must find it.
  void* handle = ::dlopen(LIBCRYPTO_SONAME, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) return nullptr;
  static Libcrypto table;
  bool complete = true;
  // POSIX guarantees that a data pointer from dlsym converts to a function pointer.
#define MIRANDEL_LIBCRYPTO_LOOKUP(name)                                     \
  table.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
  complete = complete && table.name != nullptr;
  MIRANDEL_LIBCRYPTO_FUNCTIONS(MIRANDEL_LIBCRYPTO_LOOKUP)
#undef MIRANDEL_LIBCRYPTO_LOOKUP
  return complete ? &table : nullptr;
}

}  // namespace

const Libcrypto* libcrypto() noexcept {
  static const Libcrypto* const table = open_libcrypto();
  return table;
}

const EVP_MD* message_digest(const Libcrypto& crypto, DigestAlgorithm algorithm) noexcept {
  switch (algorithm) {
    case DigestAlgorithm::Sha256:
      return crypto.EVP_sha256();
    case DigestAlgorithm::Sha384:
      return crypto.EVP_sha384();
    case DigestAlgorithm::Sha512:
      return crypto.EVP_sha512();
  }
  return nullptr;
}

}  // namespace mirandel::platform
