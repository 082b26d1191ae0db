// pxq tag on a signed file, at the signature: the input's first byte
// chooses the tag's form and whether it is padded, the rest is the
// certificate entry's structure (PKCS#7 SignedData, as after the 8-byte
// WIN_CERTIFICATE header). When the structure reads and is DER, tagging
// gives a structure that ends with the tag, whose length is a multiple of
// 8 (and at least the padding asked for), that reads back as tagged with
// the same signer, digest and nested signatures; re-tagging it does the
// same with the new tag; removing the tag then gives the structure back
// byte for byte, as it was before any tag.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "tools/release/authenticode.h"
#include "tools/release/tag_text.h"

namespace {

std::vector<uint8_t> Tag(const std::string& text, uint32_t form) {
  std::vector<uint8_t> bytes;
  if (!EncodeTag(text, form, &bytes).empty()) FuzzFail("a fixed tag text is refused");
  return bytes;
}

bool EndsWith(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& end) {
  return bytes.size() >= end.size() && std::equal(end.begin(), end.end(), bytes.end() - static_cast<long>(end.size()));
}

// Reads `der` as a tagged structure that ends with its tag, with the
// signer of `original`.
void CheckTagged(const std::vector<uint8_t>& der, const std::vector<uint8_t>& tag, size_t minimum,
                 const SignatureSummary& original) {
  FuzzCheck(EndsWith(der, tag), "the tagged structure does not end with the tag");
  FuzzCheck(der.size() % 8 == 0, "the tagged structure's length is no multiple of 8");
  FuzzCheck(der.size() >= minimum, "the tagged structure is shorter than the padding asked for");
  SignatureSummary summary;
  std::string fault = ReadSignature(der.data(), der.size(), &summary);
  if (!fault.empty()) FuzzFail("the tagged structure does not read: " + fault);
  FuzzCheck(summary.tagged && summary.taglast, "the tag is not the last signer's last attribute");
  FuzzCheck(summary.derlength == der.size(), "the tagged structure has bytes after it");
  FuzzCheck(summary.subject == original.subject && summary.digest == original.digest &&
                summary.nested == original.nested,
            "tagging changed the signer, the digest or the nested signatures");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t choice = data[0];
  std::vector<uint8_t> entry(data + 1, data + size);
  SignatureSummary original;
  if (!ReadSignature(entry.data(), entry.size(), &original).empty()) return 0;
  std::vector<uint8_t> structure(entry.begin(), entry.begin() + static_cast<long>(original.derlength));
  // The structure as signed: without its tag, if it has one.
  std::vector<uint8_t> untagged = structure;
  if (original.tagged && !RetagSignature(structure.data(), structure.size(), nullptr, 0, &untagged).empty()) return 0;

  static const uint32_t forms[] = {TagPlain, TagUtf8, TagUtf16};
  std::vector<uint8_t> first = Tag("campaign=spring", forms[choice % 3]);
  std::vector<uint8_t> second = Tag("c=\xC3\xA9t\xC3\xA9 " + std::string(choice >> 3, 'x'), forms[(choice / 3) % 3]);
  size_t minimum = (choice & 0x80) ? 4096 : 0;

  std::vector<uint8_t> tagged;
  if (!RetagSignature(structure.data(), structure.size(), &first, minimum, &tagged).empty()) return 0;  // not DER
  CheckTagged(tagged, first, minimum, original);
  std::vector<uint8_t> retagged;
  std::string fault = RetagSignature(tagged.data(), tagged.size(), &second, 0, &retagged);
  if (!fault.empty()) FuzzFail("a tagged structure cannot be tagged again: " + fault);
  CheckTagged(retagged, second, 0, original);
  std::vector<uint8_t> removed;
  fault = RetagSignature(retagged.data(), retagged.size(), nullptr, 0, &removed);
  if (!fault.empty()) FuzzFail("the tag cannot be removed: " + fault);
  FuzzCheck(removed == untagged, "removing the tag does not give the structure back");
  return 0;
}
