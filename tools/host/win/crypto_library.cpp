// libcrypto on Windows: linked statically into pxq.exe (one file, no
// OpenSSL DLL beside it), so the table is filled from the linked functions.
#include "tools/release/crypto_library.h"

const CryptoLibrary* LoadCryptoLibrary(std::string*) {
  static const CryptoLibrary library = {
#define PXQ_CRYPTO_ADDRESS(name) &::name,
      PXQ_CRYPTO_FUNCTIONS(PXQ_CRYPTO_ADDRESS)
#undef PXQ_CRYPTO_ADDRESS
  };
  return &library;
}
