// The Authenticode signature of a PE file: one entry of its certificate
// table, a PKCS#7 SignedData structure, read and re-encoded with OpenSSL.
// A tag is carried as the value of the last unauthenticated attribute of
// the last signer, an attribute that no signature covers, so that the tag's
// last byte is the structure's last byte and so the file's.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// WIN_CERTIFICATE: dwLength, wRevision 0x0200, wCertificateType 2
// (PKCS_SIGNED_DATA), then the structure; entries are 8-byte aligned.
#define WIN_CERTIFICATE_HEADER_SIZE 8u
#define WIN_CERT_REVISION_2_0 0x0200u
#define WIN_CERT_TYPE_PKCS_SIGNED_DATA 0x0002u
// A certificate table beyond this is not read (signatures take kilobytes).
#define CERTIFICATE_TABLE_LIMIT (64u << 20)

struct CertificateEntry {
  uint32_t offset = 0;  // from the table's start
  uint32_t length = 0;  // dwLength: header and certificate, no padding
  uint16_t revision = 0;
  uint16_t type = 0;
};

// Splits a certificate table into its entries. "" or what is wrong.
std::string ReadCertificateTable(const uint8_t* table, size_t size, std::vector<CertificateEntry>* entries);

// "" when the table holds exactly one entry and it is an Authenticode
// signature (revision 2.0, PKCS#7 SignedData; further signatures nest inside
// it); else what the table holds, entry by entry. A table of several entries
// is read differently by different tools, so pxq reads none of them.
std::string CheckSingleSignature(const std::vector<CertificateEntry>& entries);

struct SignatureSummary {
  std::string subject;   // the last signer's certificate subject ("/CN=...")
  std::string digest;    // its digest algorithm ("sha256")
  std::vector<std::string> nested;  // the subjects of nested signatures
  size_t derlength = 0;  // the structure's length; any rest of the entry is padding
  bool tagged = false;   // the last signer carries a tag attribute
  bool taglast = false;  // ... and the structure ends with its value
};

// Reads a certificate entry's structure (the bytes after its 8-byte header).
std::string ReadSignature(const uint8_t* certificate, size_t size, SignatureSummary* summary);

// The first byte of the tag attribute's value when the last signer's
// unauthenticated set was present but empty (A1 00) before the tag was
// added; zero filler otherwise. Neither is a tag's first byte.
#define TAG_VALUE_EMPTY_SET_MARK 0x01u

// Re-encodes the structure with the tag attribute removed, then, when `tag`
// is given, with a new one that ends with `tag`: zero bytes in front of the
// tag inside the value sort the attribute after every other one (DER sorts
// a SET OF by its members' encodings), make the structure's length a
// multiple of 8 (so that no alignment padding follows it in the table) and
// at least `minimumlength`. An unauthenticated set that was present but
// empty is given back as such when the tag is removed. A structure that
// does not re-encode to exactly its own bytes (not DER) is refused, since
// re-encoding it could change what the signature covers.
std::string RetagSignature(const uint8_t* certificate, size_t size, const std::vector<uint8_t>* tag,
                           size_t minimumlength, std::vector<uint8_t>* der);
