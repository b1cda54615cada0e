/* A vendor's own copy of libcrypto, as much of it as the tests need: an
 * unversioned EVP_sha256, as an OpenSSL 1.0 build exports it. Built as
 * libcrypto.so.1.0.0 beside the mock module that links it, and compiled into
 * the module that brings it linked in. Its EVP_sha256 answers a marker that
 * only mirandel_own_evp_sha256 (a name nothing else exports) also answers, so
 * the module tells its own function from any other by the address. */
static const char OWN_DIGEST[] = "the module's own EVP_sha256";

const void* EVP_sha256(void) { return OWN_DIGEST; }

const void* mirandel_own_evp_sha256(void) { return OWN_DIGEST; }
