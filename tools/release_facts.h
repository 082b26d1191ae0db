// What a loader file carries for its release, beyond the archive: the stub
// it was packed from, the resources pack wrote, the Authenticode signature
// and the trailing tag. Read from the file's headers, its image and its
// tail only; the archive is not decoded. `pxq list` shows them.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/stub_resources.h"

// The version string that names the pxq stub a loader file was packed from,
// kept by pack when the version strings are the vendor's.
#define PXQ_LOADER_VERSION_KEY "PxqLoaderVersion"

struct ReleaseFacts {
  StubFacts stub;
  std::string stubversion;  // the pxq stub's version, "" when unknown

  bool hassignature = false;
  uint32_t tableoffset = 0;  // the certificate table
  uint32_t tablesize = 0;
  std::string signer;        // the last signer's subject
  std::string digest;
  std::vector<std::string> nested;
  std::string signaturefault;  // why the signature could not be read, or ""
  bool signaturetagged = false;  // its last signer carries a tag attribute

  uint32_t tagform = 0;     // a TagForm
  std::string tagtext;      // UTF-8 for display
  bool taginsignature = false;
  bool tagunread = false;   // the file is under 64 KiB: the loader has no window

};

// "" or why the file cannot be read.
std::string ReadReleaseFacts(const std::string& path, ReleaseFacts* facts);
