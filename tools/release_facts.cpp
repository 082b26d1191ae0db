#include "tools/release_facts.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/posix.h"
#include "tools/authenticode.h"
#include "tools/pe_image.h"
#include "tools/host_error.h"
#include "tools/pxq_cli.h"
#include "tools/tag_text.h"

// The stub's image is read whole; a larger one is no stub of ours.
#define IMAGE_READ_LIMIT (16u << 20)

std::string ReadReleaseFacts(const std::string& path, ReleaseFacts* facts) {
  *facts = ReleaseFacts();
  std::vector<uint8_t> tail(1);
  size_t got = 0;
  // The size, from the descriptor's point of view: read the headers first.
  PeImage image;
  std::string pefault = ReadPeImageFile(path, &image);
  uint64_t imageend = pefault.empty() ? PeImageEnd(image) : 65536;
  std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(imageend, IMAGE_READ_LIMIT)));
  uint32_t result = ReadFileAt(path, 0, head.data(), head.size(), &got);
  if (result != 0) return ResultWords(result);
  head.resize(got);
  facts->stub = ReadStubFacts(head);
  if (facts->stub.pxqstub) {
    bool found = false;
    facts->stubversion = VersionString(facts->stub.version, PXQ_LOADER_VERSION_KEY, &found);
    if (!found) facts->stubversion = VersionString(facts->stub.version, "FileVersion");
  }

  struct stat info;
  if (stat(path.c_str(), &info) != 0) return ResultWords(WindowsErrorFromErrno(errno));
  uint64_t size = static_cast<uint64_t>(info.st_size);

  // The signature: the security directory's table, which must end the file.
  PeDirectory security;
  if (pefault.empty() && image.directories.size() > PE_DIRECTORY_SECURITY)
    security = image.directories[PE_DIRECTORY_SECURITY];
  if (security.size != 0) {
    facts->hassignature = true;
    facts->tableoffset = security.address;
    facts->tablesize = security.size;
    std::vector<uint8_t> table;
    if (security.address > size || size - security.address < security.size) {
      facts->signaturefault = "the certificate table runs past the end of the file";
    } else if (security.size > CERTIFICATE_TABLE_LIMIT) {
      facts->signaturefault = "the certificate table is larger than 64 MiB";
    } else if (table.resize(security.size);
               ReadFileAt(path, security.address, table.data(), table.size(), &got) != 0 || got != table.size()) {
      facts->signaturefault = "the certificate table cannot be read";
    } else {
      std::vector<CertificateEntry> entries;
      facts->signaturefault = ReadCertificateTable(table.data(), table.size(), &entries);
      if (facts->signaturefault.empty()) {
        const CertificateEntry& last = entries.back();
        SignatureSummary summary;
        facts->signaturefault = ReadSignature(table.data() + last.offset + WIN_CERTIFICATE_HEADER_SIZE,
                                              last.length - WIN_CERTIFICATE_HEADER_SIZE, &summary);
        facts->signer = summary.subject;
        facts->digest = summary.digest;
        facts->nested = summary.nested;
        facts->signaturetagged = summary.tagged;
      }
      if (facts->signaturefault.empty() && size - security.address != security.size)
        facts->signaturefault = "data follows the certificate table (the signature is not at the end of the file)";
    }
  }

  // The tag, as the loader finds it: only in the window of a file of 64 KiB
  // or more. A shorter file is searched whole, to say that its tag is lost.
  if (size > 0) {
    uint64_t window = size < 65536 ? size : 65536 + size % 65536;
    tail.resize(static_cast<size_t>(window));
    result = ReadFileAt(path, size - window, tail.data(), tail.size(), &got);
    if (result != 0) return ResultWords(result);
    FoundTag tag = FindTag(tail.data(), got);
    facts->tagform = tag.form;
    facts->tagtext = tag.text;
    facts->tagunread = tag.form != 0 && size < 65536;
    facts->taginsignature =
        tag.form != 0 && facts->hassignature && size - window + tag.begin > facts->tableoffset;
  }
  return "";
}
