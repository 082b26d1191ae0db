// What a loader file carries for its release, beyond the archive: the stub
// it was packed from, the resources pack wrote, the Authenticode signature
// and the trailing tag. Read from the file's headers, its image and its
// tail only; the archive is not decoded. `pxq list` shows them.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/release/stub_resources.h"

// The version string that names the pxq stub a loader file was packed from,
// kept by pack when the version strings are the vendor's.
#define PXQ_LOADER_VERSION_KEY "PxqLoaderVersion"

// What list makes of a certificate table.
enum SignatureState : uint32_t {
  SignatureAbsent = 0,
  SignatureParsed = 1,      // one Authenticode signature, read, ending the file
  SignatureNotAtEnd = 2,    // read, but bytes follow the table (osslsigncode ignores it, Windows rejects it)
  SignatureUnreadable = 3,  // signaturefault says why
};

// A tag that the loader does not read, found where it is commonly lost.
enum StrandedPlace : uint32_t {
  StrandedNone = 0,
  StrandedBeforeSignature = 1,  // tagged, then signed: the table follows the tag
  StrandedBytesFollow = 2,      // a few bytes (a newline) follow the closing marker
};

struct ReleaseFacts {
  StubFacts stub;
  std::string stubversion;  // the pxq stub's version, "" when unknown

  bool hassignature = false;
  uint32_t signaturestate = SignatureAbsent;
  uint32_t tableoffset = 0;  // the certificate table
  uint32_t tablesize = 0;
  uint64_t trailingbytes = 0;  // bytes of the file after the table
  std::string signer;        // the last signer's subject
  std::string digest;
  std::vector<std::string> nested;
  std::string signaturefault;  // why the signature could not be read, or ""
  bool signaturetagged = false;  // its last signer carries a tag attribute

  uint32_t tagform = 0;     // a TagForm
  std::string tagtext;      // UTF-8 for display
  bool taginsignature = false;
  bool tagaftersignature = false;  // appended after the certificate table
  bool tagunread = false;   // the file is under 64 KiB: the loader has no window

  // With no tag at the end: one lost in front of the signature, or one that
  // a few bytes follow.
  uint32_t strandedplace = StrandedNone;
  uint32_t strandedform = 0;
  std::string strandedtext;
  std::string strandedfollowing;  // the bytes after it, escaped ("\n")
  uint64_t strandedfollowingbytes = 0;
};

// The fault that makes `list` fail for the signature's state, or "".
std::string SignatureFault(const ReleaseFacts& facts);

// "" or why the file cannot be read. Reads at most the headers (64 KiB),
// the stub's image (up to 16 MiB), the certificate table (up to 64 MiB, and
// only when it lies inside the file) and the tail (64 to 128 KiB); the work
// on each is linear in its size (see ReadStubFacts, ReadResources).
std::string ReadReleaseFacts(const std::string& path, ReleaseFacts* facts);
