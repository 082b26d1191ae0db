// What `pxq list` reads of a file's release (its stub, resources, signature
// and tag) from its headers and tail: the input is the whole file. Whatever
// the bytes, the reading stays in bounds and in memory. What it reports
// holds against the file: the certificate table is the one the headers
// name; a signature is parsed only when it ends the file, and unreadable
// only with its reason; a tag reported is the file's last bytes, encoded in
// its form (unless its bytes had to be shown with escapes), and is read by
// the loader only in a file of 64 KiB or more.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tools/release/pe_image.h"
#include "tools/release/release_facts.h"
#include "tools/release/tag_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string file = FuzzScratchFile("setup.exe");
  FuzzWriteFile(file, data, size);
  ReleaseFacts facts;
  std::string fault = ReadReleaseFacts(file, &facts);
  if (!fault.empty()) FuzzFail("a readable file is not read: " + fault);

  PeImage image;
  PeDirectory security;
  if (ReadPeImage(data, size < 65536 ? size : 65536, &image).empty() &&
      image.directories.size() > PE_DIRECTORY_SECURITY)
    security = image.directories[PE_DIRECTORY_SECURITY];
  FuzzCheck(facts.hassignature == (security.size != 0), "a signature where the headers name none, or none named");
  if (facts.hassignature) {
    FuzzCheck(facts.tableoffset == security.address && facts.tablesize == security.size,
              "another certificate table than the headers name");
    uint64_t tableend = static_cast<uint64_t>(security.address) + security.size;
    FuzzCheck(facts.signaturestate != SignatureAbsent, "a signature without a state");
    FuzzCheck((facts.signaturestate == SignatureUnreadable) == !facts.signaturefault.empty(),
              "an unreadable signature without its reason, or a reason for a readable one");
    if (facts.signaturestate == SignatureParsed) FuzzCheck(tableend == size, "a parsed signature not ending the file");
    if (facts.signaturestate == SignatureNotAtEnd)
      FuzzCheck(tableend < size && facts.trailingbytes == size - tableend, "the bytes after the signature miscounted");
  } else {
    FuzzCheck(facts.signaturestate == SignatureAbsent, "a signature state without a signature");
  }

  FuzzCheck(facts.tagunread == (facts.tagform != TagAbsent && size < 65536), "the loader's window misjudged");
  FuzzCheck(!facts.taginsignature || facts.hassignature, "a tag inside a signature the file lacks");
  if (facts.tagform != TagAbsent) {
    std::vector<uint8_t> tag;
    // Bytes that are not UTF-8 are shown as escapes, in either byte form.
    bool escaped = (facts.tagform == TagPlain || facts.tagform == TagUtf8) &&
                   facts.tagtext.find("\\x") != std::string::npos;
    bool replaced = facts.tagform == TagUtf16 && facts.tagtext.find("\xEF\xBF\xBD") != std::string::npos;
    if (EncodeTag(facts.tagtext, facts.tagform, &tag).empty() && !escaped && !replaced) {
      FuzzCheck(tag.size() <= size && std::equal(tag.begin(), tag.end(), data + size - tag.size()),
                "the tag reported is not the file's last bytes");
    }
  }
  return 0;
}
