/* The floor of the benchmarks: the PKCS#11 calls of a listing, or of a
 * signing of raw bytes with one C_Sign, and nothing else: no JSON, no hex.
 * It makes the calls the helper makes, in the same order, so that the
 * difference between the two is the helper's own work.
 *
 *   pkcs11_floor_client list MODULE
 *   pkcs11_floor_client sign MODULE PIN CERT_DER_FILE DATA_FILE [rsa_sha256|ecdsa_sha256]
 *
 * list prints the number of certificates read; sign writes the raw signature
 * (for ECDSA the token's r and s) to standard output. Signing first offers
 * the token's hashing mechanism; when C_SignInit answers
 * CKR_MECHANISM_INVALID, the data is hashed with libcrypto and the raw
 * mechanism signs the digest (for RSA behind its DigestInfo prefix); only the
 * build pkcs11_floor_client_hashing does that, so that the plain build, the
 * floor of the other figures, loads no libcrypto. Any failure ends with
 * status 1. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define CK_PTR *
#define CK_DECLARE_FUNCTION(rv, name) rv name
#define CK_DECLARE_FUNCTION_POINTER(rv, name) rv(*name)
#define CK_CALLBACK_FUNCTION(rv, name) rv(*name)
#ifndef NULL_PTR
#define NULL_PTR NULL
#endif
#include <p11-kit/pkcs11.h>

#ifdef FLOOR_HASHING
#include <openssl/evp.h>
#endif

#define BATCH 10

/* The PKCS#11 3.0 interface record, which this pkcs11.h predates. */
typedef struct {
  CK_UTF8CHAR_PTR pInterfaceName;
  CK_VOID_PTR pFunctionList;
  CK_FLAGS flags;
} Interface;
typedef CK_RV (*GetInterface)(CK_UTF8CHAR_PTR, CK_VERSION_PTR, Interface**, CK_FLAGS);

static CK_FUNCTION_LIST_PTR f;

static void fail(const char* what, CK_RV rv) {
  fprintf(stderr, "%s: 0x%lx\n", what, (unsigned long)rv);
  exit(1);
}

static unsigned char* read_whole(const char* path, size_t* size) {
  FILE* file = fopen(path, "rb");
  if (!file) fail(path, 0);
  fseek(file, 0, SEEK_END);
  long length = ftell(file);
  fseek(file, 0, SEEK_SET);
  unsigned char* bytes = malloc(length > 0 ? (size_t)length : 1);
  if (!bytes || fread(bytes, 1, (size_t)length, file) != (size_t)length) fail(path, 0);
  fclose(file);
  *size = (size_t)length;
  return bytes;
}

static void* load(const char* module) {
  void* library = dlopen(module, RTLD_NOW | RTLD_LOCAL);
  if (!library) fail("dlopen", 0);
  /* The helper asks C_GetInterface first and falls back to C_GetFunctionList. */
  GetInterface get_interface = (GetInterface)dlsym(library, "C_GetInterface");
  Interface* interface = NULL;
  if (get_interface && get_interface(NULL, NULL, &interface, 0) == CKR_OK && interface) {
    f = (CK_FUNCTION_LIST_PTR)interface->pFunctionList;
  } else {
    CK_C_GetFunctionList get_list = (CK_C_GetFunctionList)dlsym(library, "C_GetFunctionList");
    if (!get_list) fail("C_GetFunctionList missing", 0);
    CK_RV rv = get_list(&f);
    if (rv != CKR_OK) fail("C_GetFunctionList", rv);
  }
  CK_C_INITIALIZE_ARGS args;
  memset(&args, 0, sizeof args);
  args.flags = CKF_OS_LOCKING_OK;
  CK_RV rv = f->C_Initialize(&args);
  if (rv != CKR_OK) fail("C_Initialize", rv);
  return library;
}

static CK_SLOT_ID* slots_with_token(CK_ULONG* count) {
  CK_RV rv = f->C_GetSlotList(CK_TRUE, NULL, count);
  if (rv != CKR_OK) fail("C_GetSlotList", rv);
  CK_SLOT_ID* slots = calloc(*count ? *count : 1, sizeof *slots);
  rv = f->C_GetSlotList(CK_TRUE, slots, count);
  if (rv != CKR_OK) fail("C_GetSlotList", rv);
  return slots;
}

/* All objects of one search, fetched BATCH at a time. */
static CK_OBJECT_HANDLE* find_all(CK_SESSION_HANDLE session, CK_ATTRIBUTE* template,
                                  CK_ULONG attributes, CK_ULONG* found) {
  CK_OBJECT_HANDLE* all = NULL;
  *found = 0;
  if (f->C_FindObjectsInit(session, template, attributes) != CKR_OK) return NULL;
  for (;;) {
    CK_OBJECT_HANDLE batch[BATCH];
    CK_ULONG fetched = 0;
    if (f->C_FindObjects(session, batch, BATCH, &fetched) != CKR_OK) break;
    all = realloc(all, (*found + fetched + 1) * sizeof *all);
    memcpy(all + *found, batch, fetched * sizeof *batch);
    *found += fetched;
    if (fetched < BATCH) break;
  }
  f->C_FindObjectsFinal(session);
  return all;
}

static CK_OBJECT_HANDLE* find_certificates(CK_SESSION_HANDLE session, CK_ULONG* found) {
  CK_OBJECT_CLASS class = CKO_CERTIFICATE;
  CK_ATTRIBUTE search = {CKA_CLASS, &class, sizeof class};
  return find_all(session, &search, 1, found);
}

static int list(void) {
  CK_ULONG count = 0;
  CK_SLOT_ID* slots = slots_with_token(&count);
  unsigned long certificates = 0;
  for (CK_ULONG s = 0; s < count; ++s) {
    CK_SLOT_INFO slot_info;
    CK_TOKEN_INFO token_info;
    f->C_GetSlotInfo(slots[s], &slot_info);
    f->C_GetTokenInfo(slots[s], &token_info);
    CK_SESSION_HANDLE session;
    if (f->C_OpenSession(slots[s], CKF_SERIAL_SESSION, NULL, NULL, &session) != CKR_OK) continue;
    CK_ULONG found = 0;
    CK_OBJECT_HANDLE* handles = find_certificates(session, &found);
    for (CK_ULONG i = 0; i < found; ++i) {
      CK_ATTRIBUTE value = {CKA_VALUE, NULL, 0};
      if (f->C_GetAttributeValue(session, handles[i], &value, 1) != CKR_OK) continue;
      value.pValue = calloc(value.ulValueLen ? value.ulValueLen : 1, 1);
      if (f->C_GetAttributeValue(session, handles[i], &value, 1) == CKR_OK) ++certificates;
      free(value.pValue);
    }
    free(handles);
    f->C_CloseSession(session);
  }
  free(slots);
  printf("%lu\n", certificates);
  return 0;
}

/* SHA-256's DER DigestInfo prefix, for CKM_RSA_PKCS. */
static const unsigned char SHA256_DIGEST_INFO[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                                   0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                                   0x01, 0x05, 0x00, 0x04, 0x20};

static int sign(const char* pin, const char* cert_path, const char* data_path, int ecdsa) {
  size_t cert_size = 0;
  size_t data_size = 0;
  unsigned char* cert = read_whole(cert_path, &cert_size);
  unsigned char* data = read_whole(data_path, &data_size);
  CK_ULONG count = 0;
  CK_SLOT_ID* slots = slots_with_token(&count);
  for (CK_ULONG s = 0; s < count; ++s) {
    CK_SESSION_HANDLE session;
    if (f->C_OpenSession(slots[s], CKF_SERIAL_SESSION, NULL, NULL, &session) != CKR_OK) continue;
    /* The certificate by value, for its CKA_ID. */
    CK_ULONG found = 0;
    CK_OBJECT_HANDLE* handles = find_certificates(session, &found);
    unsigned char id[256];
    CK_ULONG id_size = 0;
    int have_id = 0;
    for (CK_ULONG i = 0; i < found && !have_id; ++i) {
      CK_ATTRIBUTE sizes[2] = {{CKA_VALUE, NULL, 0}, {CKA_ID, NULL, 0}};
      if (f->C_GetAttributeValue(session, handles[i], sizes, 2) != CKR_OK) continue;
      if (sizes[0].ulValueLen != cert_size || sizes[1].ulValueLen > sizeof id) continue;
      unsigned char* value = calloc(cert_size ? cert_size : 1, 1);
      CK_ATTRIBUTE fill[2] = {{CKA_VALUE, value, cert_size}, {CKA_ID, id, sizes[1].ulValueLen}};
      if (f->C_GetAttributeValue(session, handles[i], fill, 2) == CKR_OK &&
          memcmp(value, cert, cert_size) == 0) {
        have_id = 1;
        id_size = fill[1].ulValueLen;
      }
      free(value);
    }
    free(handles);
    CK_RV rv = f->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)pin, strlen(pin));
    if (rv != CKR_OK) fail("C_Login", rv);
    CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE key_search[3] = {{CKA_CLASS, &key_class, sizeof key_class},
                                  {CKA_SIGN, &yes, sizeof yes},
                                  {CKA_ID, id, id_size}};
    CK_OBJECT_HANDLE* keys = find_all(session, key_search, have_id ? 3 : 2, &found);
    if (found == 0) {
      f->C_Logout(session);
      f->C_CloseSession(session);
      continue;
    }
    CK_MECHANISM mechanism = {ecdsa ? CKM_ECDSA_SHA256 : CKM_SHA256_RSA_PKCS, NULL, 0};
    rv = f->C_SignInit(session, &mechanism, keys[0]);
    unsigned char* input = data;
    CK_ULONG input_size = data_size;
    unsigned char hashed[sizeof SHA256_DIGEST_INFO + 32];
    if (rv == CKR_MECHANISM_INVALID) {
#ifdef FLOOR_HASHING
      unsigned char* digest = hashed + (ecdsa ? 0 : sizeof SHA256_DIGEST_INFO);
      if (!EVP_Digest(data, data_size, digest, NULL, EVP_sha256(), NULL)) fail("EVP_Digest", 0);
#else
      fail("this floor client does not hash: use pkcs11_floor_client_hashing", rv);
#endif
      memcpy(hashed, SHA256_DIGEST_INFO, ecdsa ? 0 : sizeof SHA256_DIGEST_INFO);
      input = hashed;
      input_size = ecdsa ? 32 : sizeof hashed;
      mechanism.mechanism = ecdsa ? CKM_ECDSA : CKM_RSA_PKCS;
      rv = f->C_SignInit(session, &mechanism, keys[0]);
    }
    if (rv != CKR_OK) fail("C_SignInit", rv);
    unsigned char signature[1024];
    CK_ULONG signature_size = sizeof signature;
    rv = f->C_Sign(session, input, input_size, signature, &signature_size);
    if (rv != CKR_OK) fail("C_Sign", rv);
    f->C_Logout(session);
    f->C_CloseSession(session);
    fwrite(signature, 1, signature_size, stdout);
    free(keys);
    free(slots);
    free(data);
    free(cert);
    return 0;
  }
  fail("no key", 0);
  return 1;
}

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "list") == 0) {
    void* library = load(argv[2]);
    int status = list();
    f->C_Finalize(NULL);
    dlclose(library);
    return status;
  }
  if ((argc == 6 || argc == 7) && strcmp(argv[1], "sign") == 0) {
    int ecdsa = argc == 7 && strcmp(argv[6], "ecdsa_sha256") == 0;
    if (argc == 7 && !ecdsa && strcmp(argv[6], "rsa_sha256") != 0) fail(argv[6], 0);
    void* library = load(argv[2]);
    int status = sign(argv[3], argv[4], argv[5], ecdsa);
    f->C_Finalize(NULL);
    dlclose(library);
    return status;
  }
  fprintf(stderr,
          "usage: pkcs11_floor_client list MODULE | sign MODULE PIN CERT_DER DATA "
          "[rsa_sha256|ecdsa_sha256]\n");
  return 2;
}
