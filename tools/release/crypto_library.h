// OpenSSL's libcrypto, loaded on first use. Only reading or re-encoding an
// Authenticode signature needs it; loading it at start-up (its relocations,
// symbol tables and initialisation) would cost every command, extraction
// among them, about 1.4 MiB of resident memory.
#pragma once

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/safestack.h>
#include <openssl/x509.h>

#include <string>

// The functions that pxq calls, each looked up by its own name and typed by
// its declaration in OpenSSL's headers. The stack functions stand for the
// headers' sk_TYPE_* wrappers, which call them.
#define PXQ_CRYPTO_FUNCTIONS(X)                                                                       \
  X(d2i_PKCS7) X(i2d_PKCS7) X(PKCS7_free) X(PKCS7_get_signer_info) X(OBJ_txt2obj) X(OBJ_obj2nid)      \
  X(OBJ_nid2sn) X(OBJ_cmp) X(ASN1_OBJECT_free) X(X509_find_by_issuer_and_serial) X(X509_NAME_oneline) \
  X(X509_get_subject_name) X(X509_ATTRIBUTE_get0_object) X(X509_ATTRIBUTE_count)                      \
  X(X509_ATTRIBUTE_get0_type) X(X509_ATTRIBUTE_free) X(X509_ATTRIBUTE_create_by_OBJ)                  \
  X(i2d_X509_ATTRIBUTE) X(OPENSSL_sk_num) X(OPENSSL_sk_value) X(OPENSSL_sk_delete)                    \
  X(OPENSSL_sk_delete_ptr) X(OPENSSL_sk_push) X(OPENSSL_sk_free) X(OPENSSL_sk_new_null)

struct CryptoLibrary {
#define PXQ_CRYPTO_POINTER(name) decltype(&::name) name;
  PXQ_CRYPTO_FUNCTIONS(PXQ_CRYPTO_POINTER)
#undef PXQ_CRYPTO_POINTER
};

// The file name that pxq loads: the shared library of the OpenSSL version
// that pxq was built against.
#define PXQ_CRYPTO_STRING(x) #x
#define PXQ_CRYPTO_NAME(version) "libcrypto.so." PXQ_CRYPTO_STRING(version)
#define PXQ_CRYPTO_LIBRARY PXQ_CRYPTO_NAME(OPENSSL_SHLIB_VERSION)

// Loads the library once and looks up every function; the host's I/O layer
// provides it (tools/host/posix/crypto_library.cpp: dlopen on POSIX). On success returns
// the table (kept for the rest of the run); else null, with *fault saying
// what is missing and what to install.
const CryptoLibrary* LoadCryptoLibrary(std::string* fault);
