// A module that brings its own OpenSSL, as closed-source vendor modules do:
// its code calls EVP_sha256 by its unversioned name, from a libcrypto.so.1.0.0
// beside it or from its own code (own_libcrypto.c). The dynamic linker binds
// that name to the first library of the lookup scope that defines it, so a
// libcrypto in the program's global scope would shadow the module's own.
// The probe records which one the module gets, and whether the program has
// OpenSSL 3's libcrypto loaded at all.
#include <dlfcn.h>

#include <string>

#include "mock_module.hpp"

extern "C" const void* EVP_sha256();
extern "C" const void* mirandel_own_evp_sha256();

namespace mirandel::mock {
namespace {

std::string probe_crypto() {
  // The name as the module's code has it bound, and as a lookup made now
  // finds it (lazy binding, or a module that looks its functions up itself).
  using Getter = const void* (*)();
  const auto found = reinterpret_cast<Getter>(::dlsym(RTLD_DEFAULT, "EVP_sha256"));
  const bool own = EVP_sha256() == mirandel_own_evp_sha256() && found != nullptr &&
                   found() == mirandel_own_evp_sha256();
  std::string words = own ? "evp_sha256=own" : "evp_sha256=other";
  // RTLD_NOLOAD finds the library only when it is loaded already, by its soname.
  void* loaded = ::dlopen("libcrypto.so.3", RTLD_NOW | RTLD_NOLOAD);
  words += loaded ? " libcrypto.so.3=loaded" : " libcrypto.so.3=absent";
  if (loaded) ::dlclose(loaded);
  return words;
}

[[maybe_unused]] const bool g_hooked = (crypto_probe = probe_crypto, true);

}  // namespace
}  // namespace mirandel::mock
