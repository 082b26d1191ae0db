// Loading libcrypto on a POSIX host, for the release code's Authenticode
// reading (tools/release/crypto_library.h).
#include "tools/release/crypto_library.h"

#include <dlfcn.h>

namespace {

CryptoLibrary library;

std::string Load() {
  // RTLD_NOW: a missing function shows here, with its name, and never as a
  // crash in the middle of re-encoding a signature.
  void* handle = dlopen(PXQ_CRYPTO_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    return std::string("pxq needs OpenSSL's libcrypto (" PXQ_CRYPTO_LIBRARY ") for Authenticode signatures and "
                       "cannot load it: ") +
           (reason != nullptr ? reason : "unknown error") + "; install it (on Debian, package libssl3)";
  }
  void* symbol = nullptr;
#define PXQ_CRYPTO_LOOKUP(name)                                                                                  \
  symbol = dlsym(handle, #name);                                                                                 \
  if (symbol == nullptr) {                                                                                       \
    dlclose(handle);                                                                                             \
    return "OpenSSL's libcrypto (" PXQ_CRYPTO_LIBRARY ") has no function " #name "; install the OpenSSL 3 that " \
           "pxq was built for";                                                                                  \
  }                                                                                                              \
  library.name = reinterpret_cast<decltype(library.name)>(symbol);
  PXQ_CRYPTO_FUNCTIONS(PXQ_CRYPTO_LOOKUP)
#undef PXQ_CRYPTO_LOOKUP
  // The handle stays open for the rest of the run.
  return "";
}

}  // namespace

const CryptoLibrary* LoadCryptoLibrary(std::string* fault) {
  // Tried once; a failure is given again to every later caller.
  static const std::string failure = Load();
  if (failure.empty()) return &library;
  *fault = failure;
  return nullptr;
}
