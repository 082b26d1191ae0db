#include "tools/release/tag_rewrite.h"

#include "platform/types.h"
#include "tools/release/authenticode.h"
#include "tools/release/tag_text.h"

namespace {

std::string SizeText(uint64_t bytes) { return std::to_string(bytes) + " bytes"; }

std::string UnderWindow(uint64_t size) {
  return "the tagged file would have " + SizeText(size) +
         ", under 64 KiB; the loader looks for a tag only in a file of at least 65,536 bytes. Give --pad to pad it "
         "(the loader never reads the padding)";
}

std::string ReadFailure(TagPlan* plan, uint32_t result) {
  plan->readfailure = result;
  return "the file cannot be read";
}

}  // namespace

void PatchField(uint8_t* bytes, uint64_t position, size_t count, uint32_t fieldoffset, uint32_t value) {
  uint8_t field[4];
  PutLe32(field, value);
  for (uint32_t k = 0; k < 4; ++k) {
    uint64_t at = static_cast<uint64_t>(fieldoffset) + k;
    if (at >= position && at < position + count) bytes[at - position] = field[k];
  }
}

std::string PlanTagRewrite(const PeImage& image, uint64_t size, const ByteReader& readat,
                           const std::vector<uint8_t>* tag, bool pad, TagPlan* plan) {
  *plan = TagPlan();
  TagRewrite& rewrite = plan->rewrite;
  if (image.checksum != 0) rewrite.checksumoffset = image.checksumoffset;
  PeDirectory security;
  if (image.directories.size() > PE_DIRECTORY_SECURITY) security = image.directories[PE_DIRECTORY_SECURITY];
  std::string& summary = plan->summary;
  uint64_t& newsize = plan->newsize;
  bool& hadtag = plan->hadtag;
  bool remove = tag == nullptr;
  std::string fault;
  if (security.size == 0) {
    // Unsigned: a tag at the end is found as the loader finds it (in a file
    // under 64 KiB, in the whole file), and everything in front of it kept.
    uint64_t windowsize = size < 65536 ? size : 65536 + size % 65536;
    std::vector<uint8_t> window;
    uint32_t result = readat(size - windowsize, static_cast<size_t>(windowsize), &window);
    if (result != 0) return ReadFailure(plan, result);
    FoundTag old = FindTag(window.data(), window.size());
    rewrite.keep = old.form == TagAbsent ? size : size - windowsize + old.begin;
    if (!remove) {
      newsize = rewrite.keep + tag->size();
      if (newsize < 65536) {
        if (!pad) return UnderWindow(newsize);
        rewrite.tail.assign(static_cast<size_t>(65536 - newsize), 0);
        newsize = 65536;
      }
      rewrite.tail.insert(rewrite.tail.end(), tag->begin(), tag->end());
    }
    hadtag = old.form != TagAbsent;
    summary = !hadtag ? "it had none" : std::string("it had an ") + TagFormName(old.form) + " tag";
  } else {
    // Signed: the certificate table must end the file, as Windows and
    // osslsigncode require; its one entry carries the tag.
    if (security.address > size || size - security.address != security.size || security.size < 8)
      return "its signature (certificate table) does not end the file: something was appended after signing; sign "
             "the file again, then tag it";
    if (security.size > CERTIFICATE_TABLE_LIMIT) return "its certificate table is larger than 64 MiB";
    std::vector<uint8_t> table;
    uint32_t result = readat(security.address, security.size, &table);
    if (result != 0) return ReadFailure(plan, result);
    std::vector<CertificateEntry> entries;
    fault = ReadCertificateTable(table.data(), table.size(), &entries);
    if (!fault.empty()) return fault;
    fault = CheckSingleSignature(entries);
    if (!fault.empty()) return fault + "; pxq tags a file with one signature only";
    const CertificateEntry& last = entries.front();
    const uint8_t* certificate = table.data() + last.offset + WIN_CERTIFICATE_HEADER_SIZE;
    size_t certificatesize = last.length - WIN_CERTIFICATE_HEADER_SIZE;
    SignatureSummary before;
    fault = ReadSignature(certificate, certificatesize, &before);
    if (!fault.empty()) return fault;
    hadtag = before.tagged;
    uint64_t entrystart = security.address + last.offset;
    // Padding given once stays: a re-tagged file that was long enough keeps
    // its length, as the padding in front of an unsigned file's tag does.
    bool keeppadded = before.tagged && size >= 65536;
    size_t minimum = 0;
    if ((pad || keeppadded) && entrystart + WIN_CERTIFICATE_HEADER_SIZE < 65536)
      minimum = static_cast<size_t>(65536 - entrystart - WIN_CERTIFICATE_HEADER_SIZE);
    std::vector<uint8_t> der;
    // With no tag to remove, nothing is re-encoded.
    if (!(remove && !hadtag)) {
      fault = RetagSignature(certificate, certificatesize, tag, minimum, &der);
      if (!fault.empty()) return fault;
      if (der.size() > 0xFFFFFFF0u - last.offset) return "the signature would grow too large";
      rewrite.keep = security.address;
      rewrite.tail.assign(table.begin(), table.begin() + last.offset);
      // dwLength counts the alignment padding, as signtool and osslsigncode
      // write it; a tagged structure needs none.
      uint8_t header[WIN_CERTIFICATE_HEADER_SIZE];
      PutLe32(header,
              static_cast<uint32_t>((WIN_CERTIFICATE_HEADER_SIZE + der.size() + 7) & ~static_cast<size_t>(7)));
      PutLe16(header + 4, WIN_CERT_REVISION_2_0);
      PutLe16(header + 6, WIN_CERT_TYPE_PKCS_SIGNED_DATA);
      rewrite.tail.insert(rewrite.tail.end(), header, header + sizeof header);
      rewrite.tail.insert(rewrite.tail.end(), der.begin(), der.end());
      // Entries are 8-byte aligned; a tagged structure needs no padding.
      rewrite.tail.resize((rewrite.tail.size() + 7) & ~static_cast<size_t>(7), 0);
      rewrite.securitysizeoffset = image.directoryoffset + 8 * PE_DIRECTORY_SECURITY + 4;
      rewrite.securitysize = static_cast<uint32_t>(rewrite.tail.size());
      newsize = rewrite.keep + rewrite.tail.size();
      if (!remove && newsize < 65536) return UnderWindow(newsize);
    }
    summary = std::string("inside the signature of ") + before.subject + (before.tagged ? "; it had a tag" : "; it had none");
  }
  // A file without a tag to remove is left as it is, its time included;
  // with -o, OUT gets its bytes unchanged (no checksum recomputed).
  if (remove && !hadtag) {
    rewrite = TagRewrite();
    rewrite.keep = size;
  }
  newsize = rewrite.keep + rewrite.tail.size();
  return "";

}
