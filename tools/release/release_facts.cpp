#include "tools/release/release_facts.h"

#include <stdio.h>

#include <algorithm>

#include "tools/release/authenticode.h"
#include "tools/release/pe_image.h"
#include "tools/release/file_access.h"
#include "tools/release/result_text.h"
#include "tools/release/tag_text.h"

// The stub's image is read whole; a larger one is no stub of ours.
#define IMAGE_READ_LIMIT (16u << 20)
// The most bytes after a closing marker for which list still names the tag
// they hide.
#define STRANDED_TRAILING_LIMIT 16u

namespace {

// Bytes as C escapes: "\n", "\r", "\t", "\xNN" outside printable ASCII.
std::string EscapedBytes(const uint8_t* bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    uint8_t c = bytes[i];
    char hex[8];
    if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else if (c == '\t') {
      text += "\\t";
    } else if (c < 0x20 || c >= 0x7F || c == '\\') {
      snprintf(hex, sizeof hex, "\\x%02X", c);
      text += hex;
    } else {
      text += static_cast<char>(c);
    }
  }
  return text;
}

}  // namespace

std::string SignatureFault(const ReleaseFacts& facts) {
  if (facts.signaturestate == SignatureUnreadable)
    return "the Authenticode signature cannot be read: " + facts.signaturefault;
  if (facts.signaturestate == SignatureNotAtEnd)
    return std::to_string(facts.trailingbytes) +
           " bytes follow the Authenticode signature, which must end the file: osslsigncode ignores such a "
           "signature and Windows rejects it; sign the file again (tag it after signing with pxq tag)";
  return "";
}

std::string ReadReleaseFacts(const std::string& path, ReleaseFacts* facts) {
  *facts = ReleaseFacts();
  std::vector<uint8_t> tail(1);
  size_t got = 0;
  // The size, from the descriptor's point of view: read the headers first.
  PeImage image;
  std::string pefault = ReadPeImageFile(path, &image);
  uint64_t imageend = pefault.empty() ? PeImageEnd(image) : 65536;
  uint64_t size = 0;
  uint32_t result = FileSizeOf(path, &size);
  if (result != 0) return FileFaultText(result);
  // No more than the file holds: a small file's headers may claim a large image.
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>({imageend, IMAGE_READ_LIMIT, size})));
  result = ReadFileAt(path, 0, head.data(), head.size(), &got);
  if (result != 0) return FileFaultText(result);
  head.resize(got);
  facts->stub = ReadStubFacts(head);
  if (facts->stub.pxqstub) {
    bool found = false;
    facts->stubversion = VersionString(facts->stub.version, PXQ_LOADER_VERSION_KEY, &found);
    if (!found) facts->stubversion = VersionString(facts->stub.version, "FileVersion");
  }

  // The signature: the security directory's table, which must end the file.
  PeDirectory security;
  if (pefault.empty() && image.directories.size() > PE_DIRECTORY_SECURITY)
    security = image.directories[PE_DIRECTORY_SECURITY];
  uint64_t tableend = 0;
  if (security.size != 0) {
    facts->hassignature = true;
    facts->signaturestate = SignatureUnreadable;
    facts->tableoffset = security.address;
    facts->tablesize = security.size;
    tableend = static_cast<uint64_t>(security.address) + security.size;
    if (tableend <= size) facts->trailingbytes = size - tableend;
    std::vector<uint8_t> table;
    if (tableend > size) {
      facts->signaturefault = "the certificate table runs past the end of the file";
    } else if (security.size > CERTIFICATE_TABLE_LIMIT) {
      facts->signaturefault = "the certificate table is larger than 64 MiB";
    } else if (table.resize(security.size);
               ReadFileAt(path, security.address, table.data(), table.size(), &got) != 0 || got != table.size()) {
      facts->signaturefault = "the certificate table cannot be read";
    } else {
      std::vector<CertificateEntry> entries;
      facts->signaturefault = ReadCertificateTable(table.data(), table.size(), &entries);
      if (facts->signaturefault.empty()) facts->signaturefault = CheckSingleSignature(entries);
      if (facts->signaturefault.empty()) {
        const CertificateEntry& entry = entries.front();
        SignatureSummary summary;
        facts->signaturefault = ReadSignature(table.data() + entry.offset + WIN_CERTIFICATE_HEADER_SIZE,
                                              entry.length - WIN_CERTIFICATE_HEADER_SIZE, &summary);
        if (facts->signaturefault.empty()) {
          facts->signer = summary.subject;
          facts->digest = summary.digest;
          facts->nested = summary.nested;
          facts->signaturetagged = summary.tagged;
          facts->signaturestate = facts->trailingbytes == 0 ? SignatureParsed : SignatureNotAtEnd;
        }
      }
    }
  }

  // The tag, as the loader finds it: only in the window of a file of 64 KiB
  // or more. A shorter file is searched whole, to say that its tag is lost.
  if (size > 0) {
    uint64_t window = size < 65536 ? size : 65536 + size % 65536;
    tail.resize(static_cast<size_t>(window));
    result = ReadFileAt(path, size - window, tail.data(), tail.size(), &got);
    if (result != 0) return FileFaultText(result);
    tail.resize(got);
    uint64_t windowstart = size - got;
    FoundTag tag = FindTag(tail.data(), tail.size());
    facts->tagform = tag.form;
    facts->tagtext = tag.text;
    facts->tagunread = tag.form != 0 && size < 65536;
    if (tag.form != 0 && facts->hassignature && tableend <= size) {
      uint64_t begin = windowstart + tag.begin;
      facts->taginsignature = begin >= facts->tableoffset && begin < tableend;
      facts->tagaftersignature = begin >= tableend;
    }
    // No tag at the end: a few bytes after a closing marker (an editor's or
    // echo's newline) hide one from the loader. Only bytes that no
    // signature covers are looked at.
    uint64_t searchfrom = facts->hassignature && tableend <= size ? tableend : 0;
    for (size_t cut = 1; tag.form == 0 && cut <= STRANDED_TRAILING_LIMIT && cut < tail.size(); ++cut) {
      size_t end = tail.size() - cut;
      bool closes = tail[end - 1] == '>' || (end >= 2 && tail[end - 1] == 0 && tail[end - 2] == '>');
      if (windowstart + end < searchfrom + 2 || !closes) continue;
      FoundTag almost = FindTag(tail.data(), end);
      if (almost.form == 0 || windowstart + almost.begin < searchfrom) continue;
      facts->strandedplace = StrandedBytesFollow;
      facts->strandedform = almost.form;
      facts->strandedtext = almost.text;
      facts->strandedfollowingbytes = cut;
      facts->strandedfollowing = EscapedBytes(tail.data() + end, cut);
      break;
    }
  }

  // Tagged, then signed: the tag lies in front of the table, where the signer
  // may have padded the file to 8 bytes with zeros.
  if (facts->tagform == 0 && facts->strandedplace == StrandedNone && facts->hassignature && tableend <= size &&
      facts->tableoffset >= 2) {
    uint64_t end = facts->tableoffset;
    uint64_t window = std::min<uint64_t>(end, 65536 + 8);
    std::vector<uint8_t> front(static_cast<size_t>(window));
    if (ReadFileAt(path, end - window, front.data(), front.size(), &got) == 0 && got == front.size()) {
      for (size_t pad = 0; pad < 8 && pad < front.size(); ++pad) {
        if (pad > 0 && front[front.size() - pad] != 0) break;
        FoundTag before = FindTag(front.data(), front.size() - pad);
        if (before.form == 0) continue;
        facts->strandedplace = StrandedBeforeSignature;
        facts->strandedform = before.form;
        facts->strandedtext = before.text;
        break;
      }
    }
  }
  return "";
}
