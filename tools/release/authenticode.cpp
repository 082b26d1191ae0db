#include "tools/release/authenticode.h"

#include <stdio.h>
#include <string.h>

#include "tools/release/crypto_library.h"
#include "tools/release/pe_image.h"

// The tag attribute's type: an OID of the UUID arc 2.25, which needs no
// registration.
static const char kTagAttributeOid[] = "2.25.240465450669374774309625540805300167700";
// SPC_NESTED_SIGNATURE_OBJID: a further signature, nested in the first.
static const char kNestedSignatureOid[] = "1.3.6.1.4.1.311.2.4.1";

namespace {

// libcrypto's functions, set by ReadSignature and RetagSignature before
// they use any of them.
const CryptoLibrary* crypto = nullptr;

bool UseCrypto(std::string* fault) {
  crypto = LoadCryptoLibrary(fault);
  return crypto != nullptr;
}

// The headers' sk_TYPE_* wrappers, over the loaded library.
template <typename Stack>
int StackCount(const Stack* stack) {
  return crypto->OPENSSL_sk_num(reinterpret_cast<const OPENSSL_STACK*>(stack));
}
template <typename Item, typename Stack>
Item* StackItem(const Stack* stack, int index) {
  return static_cast<Item*>(crypto->OPENSSL_sk_value(reinterpret_cast<const OPENSSL_STACK*>(stack), index));
}

bool IsSignedData(const PKCS7* p7) { return crypto->OBJ_obj2nid(p7->type) == NID_pkcs7_signed; }

struct Pkcs7Holder {
  PKCS7* p7 = nullptr;
  ~Pkcs7Holder() {
    if (p7 != nullptr) crypto->PKCS7_free(p7);
  }
};

struct ObjectHolder {
  ASN1_OBJECT* object = nullptr;
  explicit ObjectHolder(const char* oid) : object(crypto->OBJ_txt2obj(oid, 1)) {}
  ~ObjectHolder() {
    if (object != nullptr) crypto->ASN1_OBJECT_free(object);
  }
};

bool Encode(PKCS7* p7, std::vector<uint8_t>* der) {
  int length = crypto->i2d_PKCS7(p7, nullptr);
  if (length <= 0) return false;
  der->resize(static_cast<size_t>(length));
  unsigned char* out = der->data();
  return crypto->i2d_PKCS7(p7, &out) == length;
}

// Decodes a SignedData structure and checks that it is DER: re-encoded, it
// gives its own bytes. *length gets its length.
std::string Decode(const uint8_t* bytes, size_t size, Pkcs7Holder* holder, size_t* length) {
  const unsigned char* cursor = bytes;
  holder->p7 = crypto->d2i_PKCS7(nullptr, &cursor, static_cast<long>(size));
  if (holder->p7 == nullptr) return "the certificate table holds no readable PKCS#7 structure";
  *length = static_cast<size_t>(cursor - bytes);
  if (!IsSignedData(holder->p7)) return "the certificate table's PKCS#7 structure is not SignedData";
  STACK_OF(PKCS7_SIGNER_INFO)* signers = crypto->PKCS7_get_signer_info(holder->p7);
  if (signers == nullptr || StackCount(signers) == 0) return "the signature has no signer";
  return "";
}

PKCS7_SIGNER_INFO* LastSigner(PKCS7* p7) {
  STACK_OF(PKCS7_SIGNER_INFO)* signers = crypto->PKCS7_get_signer_info(p7);
  return StackItem<PKCS7_SIGNER_INFO>(signers, StackCount(signers) - 1);
}

std::string SignerSubject(PKCS7* p7, PKCS7_SIGNER_INFO* signer) {
  X509* certificate = nullptr;
  if (p7->d.sign->cert != nullptr && signer->issuer_and_serial != nullptr)
    certificate = crypto->X509_find_by_issuer_and_serial(p7->d.sign->cert, signer->issuer_and_serial->issuer,
                                                 signer->issuer_and_serial->serial);
  if (certificate == nullptr) return "(the signer's certificate is not in the signature)";
  char text[512];
  crypto->X509_NAME_oneline(crypto->X509_get_subject_name(certificate), text, sizeof text);
  return text;
}

}  // namespace

std::string ReadCertificateTable(const uint8_t* table, size_t size, std::vector<CertificateEntry>* entries) {
  entries->clear();
  size_t offset = 0;
  while (offset < size) {
    if (size - offset < WIN_CERTIFICATE_HEADER_SIZE) return "the certificate table ends inside an entry's header";
    CertificateEntry entry;
    entry.offset = static_cast<uint32_t>(offset);
    entry.length = GetLe32(table + offset);
    entry.revision = GetLe16(table + offset + 4);
    entry.type = GetLe16(table + offset + 6);
    if (entry.length < WIN_CERTIFICATE_HEADER_SIZE || entry.length > size - offset)
      return "a certificate table entry's length does not fit the table";
    entries->push_back(entry);
    offset += (static_cast<size_t>(entry.length) + 7) & ~static_cast<size_t>(7);
  }
  if (entries->empty()) return "the certificate table is empty";
  return "";
}

std::string CheckSingleSignature(const std::vector<CertificateEntry>& entries) {
  if (entries.size() == 1 && entries[0].revision == WIN_CERT_REVISION_2_0 &&
      entries[0].type == WIN_CERT_TYPE_PKCS_SIGNED_DATA)
    return "";
  std::string text = entries.size() == 1 ? "the certificate table's entry is no Authenticode signature:"
                                         : "the certificate table holds " + std::to_string(entries.size()) +
                                               " entries, where Authenticode has one (nested signatures go inside "
                                               "it):";
  for (size_t i = 0; i < entries.size(); ++i) {
    const CertificateEntry& entry = entries[i];
    char revision[8];
    snprintf(revision, sizeof revision, "%04X", entry.revision);
    text += (i == 0 ? " " : "; ") + std::string("entry ") + std::to_string(i + 1) + " at offset " +
            std::to_string(entry.offset) + ", " + std::to_string(entry.length) + " bytes, revision 0x" + revision +
            ", type " + std::to_string(entry.type) +
            (entry.type == WIN_CERT_TYPE_PKCS_SIGNED_DATA ? " (PKCS#7 SignedData)" : "");
  }
  return text;
}

std::string ReadSignature(const uint8_t* certificate, size_t size, SignatureSummary* summary) {
  *summary = SignatureSummary();
  std::string fault;
  if (!UseCrypto(&fault)) return fault;
  Pkcs7Holder holder;
  fault = Decode(certificate, size, &holder, &summary->derlength);
  if (!fault.empty()) return fault;
  PKCS7_SIGNER_INFO* signer = LastSigner(holder.p7);
  summary->subject = SignerSubject(holder.p7, signer);
  summary->digest = crypto->OBJ_nid2sn(crypto->OBJ_obj2nid(signer->digest_alg->algorithm));
  ObjectHolder tagtype(kTagAttributeOid), nestedtype(kNestedSignatureOid);
  int count = StackCount(signer->unauth_attr);
  for (int i = 0; i < count; ++i) {
    X509_ATTRIBUTE* attribute = StackItem<X509_ATTRIBUTE>(signer->unauth_attr, i);
    const ASN1_OBJECT* type = crypto->X509_ATTRIBUTE_get0_object(attribute);
    if (crypto->OBJ_cmp(type, tagtype.object) == 0) {
      summary->tagged = true;
      summary->taglast = i == count - 1;
      continue;
    }
    if (crypto->OBJ_cmp(type, nestedtype.object) != 0) continue;
    for (int v = 0; v < crypto->X509_ATTRIBUTE_count(attribute); ++v) {
      ASN1_TYPE* value = crypto->X509_ATTRIBUTE_get0_type(attribute, v);
      if (value == nullptr || value->type != V_ASN1_SEQUENCE) continue;
      Pkcs7Holder nested;
      const unsigned char* cursor = value->value.sequence->data;
      nested.p7 = crypto->d2i_PKCS7(nullptr, &cursor, value->value.sequence->length);
      if (nested.p7 == nullptr || !IsSignedData(nested.p7) || crypto->PKCS7_get_signer_info(nested.p7) == nullptr ||
          StackCount(crypto->PKCS7_get_signer_info(nested.p7)) == 0) {
        summary->nested.push_back("(unreadable)");
        continue;
      }
      summary->nested.push_back(SignerSubject(nested.p7, LastSigner(nested.p7)));
    }
  }
  return "";
}

std::string RetagSignature(const uint8_t* certificate, size_t size, const std::vector<uint8_t>* tag,
                           size_t minimumlength, std::vector<uint8_t>* der) {
  std::string fault;
  if (!UseCrypto(&fault)) return fault;
  Pkcs7Holder holder;
  size_t length = 0;
  fault = Decode(certificate, size, &holder, &length);
  if (!fault.empty()) return fault;
  std::vector<uint8_t> original;
  if (!Encode(holder.p7, &original)) return "OpenSSL cannot encode the signature";
  if (original.size() != length || memcmp(original.data(), certificate, length) != 0)
    return "the signature is not in DER form; pxq re-encodes signatures and would change this one";

  PKCS7_SIGNER_INFO* signer = LastSigner(holder.p7);
  ObjectHolder tagtype(kTagAttributeOid);
  if (tagtype.object == nullptr) return "OpenSSL does not take the tag attribute's type";
  // The signer's unauthenticated set as signed: absent, or present and empty
  // (A1 00), which the tag's attribute records with its value's first byte,
  // so that removing the tag gives back either form.
  bool emptyset = signer->unauth_attr != nullptr && StackCount(signer->unauth_attr) == 0;
  for (int i = StackCount(signer->unauth_attr) - 1; i >= 0; --i) {
    X509_ATTRIBUTE* attribute = StackItem<X509_ATTRIBUTE>(signer->unauth_attr, i);
    if (crypto->OBJ_cmp(crypto->X509_ATTRIBUTE_get0_object(attribute), tagtype.object) != 0) continue;
    ASN1_TYPE* value = crypto->X509_ATTRIBUTE_get0_type(attribute, 0);
    if (value != nullptr && value->type == V_ASN1_OCTET_STRING && value->value.octet_string->length > 0 &&
        value->value.octet_string->data[0] == TAG_VALUE_EMPTY_SET_MARK)
      emptyset = true;
    crypto->X509_ATTRIBUTE_free(
        static_cast<X509_ATTRIBUTE*>(crypto->OPENSSL_sk_delete(reinterpret_cast<OPENSSL_STACK*>(signer->unauth_attr), i)));
  }
  bool othersremain = StackCount(signer->unauth_attr) > 0;
  if (tag == nullptr) {
    // An absent set stays absent, as a signature without attributes had it;
    // a set that was present and empty stays so.
    if (signer->unauth_attr != nullptr && !othersremain && !emptyset) {
      crypto->OPENSSL_sk_free(reinterpret_cast<OPENSSL_STACK*>(signer->unauth_attr));
      signer->unauth_attr = nullptr;
    }
    return Encode(holder.p7, der) ? "" : "OpenSSL cannot encode the signature";
  }
  // The mark is needed only where the tag's attribute is alone in its set.
  std::vector<uint8_t> mark;
  if (emptyset && !othersremain) mark.push_back(TAG_VALUE_EMPTY_SET_MARK);
  if (signer->unauth_attr == nullptr)
    signer->unauth_attr = reinterpret_cast<STACK_OF(X509_ATTRIBUTE)*>(crypto->OPENSSL_sk_new_null());
  if (signer->unauth_attr == nullptr) return "out of memory";

  // The longest other attribute: the tag's attribute must encode longer to
  // sort after it.
  size_t longest = 0;
  for (int i = 0; i < StackCount(signer->unauth_attr); ++i) {
    int encoded = crypto->i2d_X509_ATTRIBUTE(StackItem<X509_ATTRIBUTE>(signer->unauth_attr, i), nullptr);
    if (encoded > 0 && static_cast<size_t>(encoded) > longest) longest = static_cast<size_t>(encoded);
  }
  size_t filler = 0;
  std::vector<uint8_t> value;
  for (int round = 0; round < 64; ++round) {
    value = mark;
    value.insert(value.end(), filler, 0);
    value.insert(value.end(), tag->begin(), tag->end());
    X509_ATTRIBUTE* attribute = crypto->X509_ATTRIBUTE_create_by_OBJ(nullptr, tagtype.object, V_ASN1_OCTET_STRING,
                                                                     value.data(), static_cast<int>(value.size()));
    if (attribute == nullptr) return "OpenSSL cannot make the tag attribute";
    size_t own = static_cast<size_t>(crypto->i2d_X509_ATTRIBUTE(attribute, nullptr));
    if (own <= longest) {
      crypto->X509_ATTRIBUTE_free(attribute);
      filler += longest + 1 - own;
      continue;
    }
    if (!crypto->OPENSSL_sk_push(reinterpret_cast<OPENSSL_STACK*>(signer->unauth_attr), attribute)) {
      crypto->X509_ATTRIBUTE_free(attribute);
      return "out of memory";
    }
    bool encoded = Encode(holder.p7, der);
    // By pointer: encoding a SET OF may sort the stack.
    crypto->OPENSSL_sk_delete_ptr(reinterpret_cast<OPENSSL_STACK*>(signer->unauth_attr), attribute);
    crypto->X509_ATTRIBUTE_free(attribute);
    if (!encoded) return "OpenSSL cannot encode the signature";
    bool last = der->size() >= tag->size() &&
                memcmp(der->data() + der->size() - tag->size(), tag->data(), tag->size()) == 0;
    if (!last) return "the tag attribute does not come last in the encoded signature";
    if (der->size() < minimumlength) {
      filler += minimumlength - der->size();
    } else if (der->size() % 8 != 0) {
      filler += 8 - der->size() % 8;
    } else {
      return "";
    }
  }
  return "cannot size the tag attribute so that the signature ends on an 8-byte boundary";
}
