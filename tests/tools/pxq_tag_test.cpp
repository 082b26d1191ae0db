// pxq tag on unsigned and Authenticode-signed loader files: the loader's own
// code (pxq run) reads the tag back, osslsigncode checks the signature, and
// removing a tag gives back the file as signed, byte for byte.
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/required.h"
#include "support/scratch_dir.h"
#include "support/windows_exe.h"
#include "tools_support.h"

namespace {

bool Have(const char* program) { return RunShell(std::string("command -v ") + program).status == 0; }
bool HaveSigningTools() { return Have("openssl") && Have("osslsigncode"); }
const char kNoSigningTools[] = "openssl or osslsigncode is not installed";
const char kNoStub[] = "no stub: pxq-loader.exe was not built (nor, in a build without it, a stand-in with mingw-w64)";

// A loader file around a shell-script installer that prints its
// arguments, one per line in brackets; `padding` bytes of incompressible
// payload set its size. The stub is the real one where it was built (it has
// a PE checksum), else, in a build without it, a small mingw-built
// executable; `stub` is empty when neither can be had.
struct Loader {
  ScratchDir dir;
  std::string setup = dir.File("setup.exe");
  std::string stub;
  explicit Loader(size_t padding) {
    stub = std::string(PXQ_BIN_DIR) + "/pxq-loader.exe";
    if (!FileExists(stub)) stub = PXQ_STUB_REQUIRED ? "" : BuildWindowsExe(dir, "stub", "");
    if (stub.empty()) return;
    WriteFileText(dir.File("installer.sh"), "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done\n");
    WriteFileBytes(dir.File("payload.bin"), PatternBytes(padding, 7));
    CommandResult pack = RunPxq({"pack", "-o", setup, "--stub", stub, "--generic", dir.File("installer.sh"),
                                 "--entry", "0x10=" + dir.File("payload.bin"), "--preset", "0"});
    EXPECT_EQ(0, pack.status) << pack.err;
  }
  // The arguments the installer got from the loader, on this host.
  std::string Run(const std::string& file) const {
    CommandResult run = RunShell("TMPDIR=" + ShellQuote(dir.path) + " " + ShellQuote(PxqPath()) + " run " +
                                 ShellQuote(file));
    EXPECT_EQ(0, run.status) << run.err;
    return run.out;
  }
  // Signs `in` into `out` with a throwaway certificate (made once).
  void Sign(const std::string& in, const std::string& out, const std::string& extra = "") const {
    if (!FileExists(dir.File("cert.pem"))) {
      ASSERT_EQ(0, RunShell("cd " + ShellQuote(dir.path) +
                            " && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2"
                            " -subj '/CN=pxq tag test' -addext extendedKeyUsage=codeSigning")
                       .status);
    }
    CommandResult sign = RunShell("osslsigncode sign " + extra + " -certs " + ShellQuote(dir.File("cert.pem")) +
                                  " -key " + ShellQuote(dir.File("key.pem")) + " -h sha256 -in " + ShellQuote(in) +
                                  " -out " + ShellQuote(out));
    ASSERT_EQ(0, sign.status) << sign.out << sign.err;
  }
  // osslsigncode's verdict, with the test certificate as the CA.
  CommandResult Verify(const std::string& file) const {
    return RunShell("osslsigncode verify -CAfile " + ShellQuote(dir.File("cert.pem")) + " -in " + ShellQuote(file));
  }
};

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}
void PutLe32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
  for (int k = 0; k < 4; ++k) (*bytes)[at + k] = static_cast<uint8_t>(value >> (8 * k));
}

// A signed file's certificate table: where its size field and the PE
// checksum are, and the table itself.
struct SignedLayout {
  size_t checksumfield = 0, sizefield = 0;
  uint32_t tableoffset = 0, tablesize = 0;
};
SignedLayout LayoutOf(const std::vector<uint8_t>& file) {
  SignedLayout layout;
  size_t optional = Le32(file, 0x3C) + 24;
  bool pe32plus = file[optional] == 0x0B && file[optional + 1] == 0x02;
  layout.checksumfield = optional + 64;
  layout.sizefield = optional + (pe32plus ? 112 : 96) + 8 * 4 + 4;
  layout.tableoffset = Le32(file, layout.sizefield - 4);
  layout.tablesize = Le32(file, layout.sizefield);
  return layout;
}

// Replaces a signed file's certificate table with `table` (8-byte aligned)
// and sets the security directory's size and the PE checksum to match.
void ReplaceCertificateTable(std::vector<uint8_t>* file, const std::vector<uint8_t>& table) {
  SignedLayout layout = LayoutOf(*file);
  file->resize(layout.tableoffset);
  file->insert(file->end(), table.begin(), table.end());
  PutLe32(file, layout.sizefield, static_cast<uint32_t>(table.size()));
  PutLe32(file, layout.checksumfield, 0);
  uint64_t sum = 0;
  for (size_t i = 0; i < file->size(); ++i) sum += (i & 1) ? (*file)[i] << 8 : (*file)[i];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  PutLe32(file, layout.checksumfield, static_cast<uint32_t>(sum + file->size()));
}

// One WIN_CERTIFICATE entry (revision 2.0, PKCS#7 SignedData) around `der`,
// padded to 8 bytes, its length counting the padding.
std::vector<uint8_t> CertificateEntry(const std::vector<uint8_t>& der) {
  std::vector<uint8_t> entry(8);
  entry.insert(entry.end(), der.begin(), der.end());
  entry.resize((entry.size() + 7) & ~size_t{7}, 0);
  PutLe32(&entry, 0, static_cast<uint32_t>(entry.size()));
  entry[5] = 0x02;
  entry[6] = 0x02;
  return entry;
}

// The DER structure of a signed file's one certificate entry.
std::vector<uint8_t> SignatureDer(const std::vector<uint8_t>& file) {
  SignedLayout layout = LayoutOf(file);
  const uint8_t* der = file.data() + layout.tableoffset + 8;
  size_t length = der[1] < 0x80 ? der[1] : 0, header = 2;
  for (size_t k = 0; der[1] > 0x80 && k < static_cast<size_t>(der[1] & 0x7F); ++k, ++header)
    length = length << 8 | der[2 + k];
  return std::vector<uint8_t>(der, der + header + length);
}

// `tlv` with `extra` appended inside its innermost last constructed member
// (for a SignedData: after the last signer's signature value), every
// enclosing length grown to match.
std::vector<uint8_t> AppendInLastMember(const std::vector<uint8_t>& tlv, const std::vector<uint8_t>& extra) {
  auto parse = [](const std::vector<uint8_t>& bytes, size_t at, size_t* header, size_t* length) {
    *header = 2;
    *length = bytes[at + 1];
    if (*length >= 0x80) {
      size_t count = *length & 0x7F;
      *length = 0;
      for (size_t k = 0; k < count; ++k) *length = *length << 8 | bytes[at + 2 + k];
      *header += count;
    }
  };
  size_t header = 0, length = 0;
  parse(tlv, 0, &header, &length);
  size_t last = header, childheader = 0, childlength = 0;
  for (size_t at = header; at < header + length; at += childheader + childlength) {
    last = at;
    parse(tlv, at, &childheader, &childlength);
  }
  std::vector<uint8_t> content(tlv.begin() + header, tlv.begin() + last);
  std::vector<uint8_t> child(tlv.begin() + last, tlv.begin() + header + length);
  if (child[0] & 0x20) {
    child = AppendInLastMember(child, extra);
  } else {
    child.insert(child.end(), extra.begin(), extra.end());
  }
  content.insert(content.end(), child.begin(), child.end());
  std::vector<uint8_t> out = {tlv[0]};
  if (content.size() < 0x80) {
    out.push_back(static_cast<uint8_t>(content.size()));
  } else {
    std::vector<uint8_t> digits;
    for (size_t n = content.size(); n != 0; n >>= 8) digits.insert(digits.begin(), static_cast<uint8_t>(n));
    out.push_back(static_cast<uint8_t>(0x80 | digits.size()));
    out.insert(out.end(), digits.begin(), digits.end());
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

std::string Tail(const std::string& path, size_t count) {
  std::string text = ReadFileText(path);
  return text.size() < count ? text : text.substr(text.size() - count);
}

// The three forms as the file ends with them, and as the installer gets
// them (the host's ANSI code page is Windows-1252: ü FC, ß DF, € 80).
struct FormCase {
  const char* form;
  const char* text;
  std::string ending;
  std::string received;
};
std::vector<FormCase> FormCases() {
  return {
      {"ansi", "campaign=spring", "<|campaign=spring|>", "[campaign=spring]\n"},
      {"utf8", "Grüße €", "\xEF\xBB\xBF<|Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC|>", "[Gr\xFC\xDF" "e]\n[\x80]\n"},
      {"utf16", "Grüße €", std::string("<\0|\0G\0r\0\xFC\0\xDF\0e\0 \0\xAC\x20|\0>\0", 22),
       "[Gr\xFC\xDF" "e]\n[\x80]\n"},
  };
}

TEST(PxqTag, UnsignedFileTagsInEachFormRetagsAndUntags) {
  Loader loader(80000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::string own = "[" + loader.setup + "]\n";
  std::vector<uint8_t> packed = ReadFileBytes(loader.setup);
  for (const FormCase& c : FormCases()) {
    CommandResult tag = RunPxq({"tag", "--form", c.form, loader.setup, c.text});
    ASSERT_EQ(0, tag.status) << c.form << ": " << tag.err;
    // Each tag replaces the one before: the file is the packed file and this tag.
    EXPECT_EQ(packed.size() + c.ending.size(), ReadFileBytes(loader.setup).size()) << c.form;
    EXPECT_EQ(c.ending, Tail(loader.setup, c.ending.size())) << c.form;
    EXPECT_EQ(c.received + own, loader.Run(loader.setup)) << c.form;
  }
  // ANSI bytes that are not UTF-8 pass unchanged, with a warning; list
  // shows them escaped.
  CommandResult ansi = RunPxq({"tag", loader.setup, "caf\xE9"});
  ASSERT_EQ(0, ansi.status) << ansi.err;
  EXPECT_NE(std::string::npos, ansi.err.find("warning: the text has non-ASCII bytes")) << ansi.err;
  EXPECT_EQ("[caf\xE9]\n" + own, loader.Run(loader.setup));
  EXPECT_NE(std::string::npos, RunPxq({"list", loader.setup}).out.find("tag          ansi \"caf\\xE9\"\n"));

  CommandResult remove = RunPxq({"tag", "--remove", loader.setup});
  ASSERT_EQ(0, remove.status) << remove.err;
  EXPECT_EQ(packed, ReadFileBytes(loader.setup));
  EXPECT_EQ(own, loader.Run(loader.setup));
}

TEST(PxqTag, UnderSixtyFourKibibytesIsRefusedUnlessPadded) {
  Loader loader(1000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::vector<uint8_t> packed = ReadFileBytes(loader.setup);
  ASSERT_LT(packed.size(), 65536u);
  CommandResult refused = RunPxq({"tag", loader.setup, "x"});
  EXPECT_EQ(1, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("under 64 KiB")) << refused.err;
  EXPECT_NE(std::string::npos, refused.err.find("--pad")) << refused.err;
  EXPECT_EQ(packed, ReadFileBytes(loader.setup)) << "a refused tag changed the file";

  std::string padded = loader.dir.File("padded.exe");
  CommandResult tag = RunPxq({"tag", "--pad", "-o", padded, loader.setup, "x"});
  ASSERT_EQ(0, tag.status) << tag.err;
  EXPECT_EQ(packed, ReadFileBytes(loader.setup)) << "-o changed the input";
  EXPECT_EQ(65536u, ReadFileBytes(padded).size());
  EXPECT_EQ("[x]\n[" + padded + "]\n", loader.Run(padded));
  // The padding stays when the tag is replaced; pxq list still reads the archive.
  ASSERT_EQ(0, RunPxq({"tag", padded, "a longer tag"}).status);
  EXPECT_EQ(65536u - 1 + 12, ReadFileBytes(padded).size());
  EXPECT_EQ(0, RunPxq({"list", padded}).status);

  // A file that comes to 65,536 bytes with its tag needs no --pad; one byte
  // short, it does. (Bytes after the archive stay, as the padding does.)
  for (size_t size : {65536u, 65535u}) {
    std::string edge = loader.dir.File("edge.exe");
    std::vector<uint8_t> bytes = packed;
    bytes.resize(size - 5, 0);  // room for "<|x|>"
    WriteFileBytes(edge, bytes);
    CommandResult edgetag = RunPxq({"tag", edge, "x"});
    if (size < 65536) {
      EXPECT_EQ(1, edgetag.status) << size;
      EXPECT_NE(std::string::npos, edgetag.err.find("under 64 KiB")) << edgetag.err;
      EXPECT_EQ(bytes, ReadFileBytes(edge));
      continue;
    }
    ASSERT_EQ(0, edgetag.status) << edgetag.err;
    EXPECT_EQ(65536u, ReadFileBytes(edge).size());
    EXPECT_EQ("<|x|>", Tail(edge, 5));
    EXPECT_EQ("[x]\n[" + edge + "]\n", loader.Run(edge));
  }
}

TEST(PxqTag, SignedFileKeepsItsSignatureThroughTagRetagAndRemove) {
  PXQ_NEED_TOOLS(HaveSigningTools(), kNoSigningTools);
  Loader loader(1000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::string signedfile = loader.dir.File("signed.exe");
  loader.Sign(loader.setup, signedfile);
  std::vector<uint8_t> asSigned = ReadFileBytes(signedfile);
  std::string tagged = loader.dir.File("tagged.exe");

  CommandResult refused = RunPxq({"tag", "-o", tagged, signedfile, "x"});
  EXPECT_EQ(1, refused.status);
  EXPECT_NE(std::string::npos, refused.err.find("--pad")) << refused.err;
  EXPECT_FALSE(FileExists(tagged));

  std::string source = signedfile;
  for (const FormCase& c : FormCases()) {
    CommandResult tag = RunPxq({"tag", "--pad", "--form", c.form, "-o", tagged, source, c.text});
    ASSERT_EQ(0, tag.status) << c.form << ": " << tag.err;
    source = tagged;
    EXPECT_EQ(c.ending, Tail(tagged, c.ending.size())) << c.form;
    EXPECT_GE(ReadFileBytes(tagged).size(), 65536u);
    CommandResult verify = loader.Verify(tagged);
    EXPECT_EQ(0, verify.status) << c.form << ": " << verify.out << verify.err;
    EXPECT_NE(std::string::npos, verify.out.find("Signature verification: ok")) << verify.out;
    EXPECT_EQ(std::string::npos, verify.out.find("invalid PE checksum")) << verify.out;
    EXPECT_EQ(c.received + "[" + tagged + "]\n", loader.Run(tagged)) << c.form;
    CommandResult list = RunPxq({"list", tagged});
    EXPECT_NE(std::string::npos,
              list.out.find(std::string("tag          ") + c.form + " \"" + c.text + "\" (inside the signature)\n"))
        << list.out;
    EXPECT_NE(std::string::npos, list.out.find("             signer /CN=pxq tag test (SHA256)\n")) << list.out;
  }
  CommandResult remove = RunPxq({"tag", "--remove", tagged});
  ASSERT_EQ(0, remove.status) << remove.err;
  EXPECT_EQ(asSigned, ReadFileBytes(tagged)) << "removing the tag did not give back the signed file";
}

// The tag ends the signature, and so the file, whatever its length: the
// signature is sized to end on the certificate table's 8-byte alignment, so
// that no padding follows the tag and the loader finds it.
TEST(PxqTag, ASignedFileEndsWithATagOfEveryLength) {
  PXQ_NEED_TOOLS(HaveSigningTools(), kNoSigningTools);
  Loader loader(70000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::string signedfile = loader.dir.File("signed.exe"), tagged = loader.dir.File("tagged.exe");
  loader.Sign(loader.setup, signedfile);
  const std::string letters = "abcdefghijklmnop";
  for (size_t length = 1; length <= letters.size(); ++length) {
    const std::string text = letters.substr(0, length);
    CommandResult tag = RunPxq({"tag", "-o", tagged, signedfile, text});
    ASSERT_EQ(0, tag.status) << length << ": " << tag.err;
    EXPECT_EQ("<|" + text + "|>", Tail(tagged, length + 4)) << length;
    EXPECT_EQ("[" + text + "]\n[" + tagged + "]\n", loader.Run(tagged)) << length;
  }
}

TEST(PxqTag, NestedSignatureSurvives) {
  PXQ_NEED_TOOLS(HaveSigningTools(), kNoSigningTools);
  Loader loader(70000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::string once = loader.dir.File("once.exe"), nested = loader.dir.File("nested.exe");
  loader.Sign(loader.setup, once);
  loader.Sign(once, nested, "-nest");
  std::vector<uint8_t> asSigned = ReadFileBytes(nested);
  ASSERT_EQ(0, RunPxq({"tag", nested, "nested <ok>"}).status);
  EXPECT_EQ("<|nested <ok>|>", Tail(nested, 15));
  CommandResult verify = loader.Verify(nested);
  EXPECT_EQ(0, verify.status) << verify.out << verify.err;
  EXPECT_NE(std::string::npos, verify.out.find("Number of verified signatures: 2")) << verify.out;
  EXPECT_EQ("[nested]\n[<ok>]\n[" + nested + "]\n", loader.Run(nested));
  EXPECT_NE(std::string::npos, RunPxq({"list", nested}).out.find("             nested signature by /CN=pxq tag test\n"));
  ASSERT_EQ(0, RunPxq({"tag", "--remove", nested}).status);
  EXPECT_EQ(asSigned, ReadFileBytes(nested));

  // Signing again after tagging leaves the tag's attribute short of the end:
  // list says so, and tagging again puts it back at the end.
  std::string tagged = loader.dir.File("tagged.exe"), renested = loader.dir.File("renested.exe");
  ASSERT_EQ(0, RunPxq({"tag", "-o", tagged, once, "early"}).status);
  loader.Sign(tagged, renested, "-nest");
  CommandResult list = RunPxq({"list", renested});
  EXPECT_NE(std::string::npos, list.out.find("the signature carries a tag that no longer ends it")) << list.out;
  ASSERT_EQ(0, RunPxq({"tag", renested, "late"}).status);
  EXPECT_EQ("<|late|>", Tail(renested, 8));
  EXPECT_EQ(0, loader.Verify(renested).status);
}

TEST(PxqTag, Refusals) {
  Loader loader(70000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::vector<uint8_t> packed = ReadFileBytes(loader.setup);
  WriteFileText(loader.dir.File("plain.txt"), std::string(70000, 'x'));
  std::vector<std::string> names = DirectoryNames(loader.dir.path);
  struct Case {
    std::vector<std::string> arguments;
    int status;
    const char* message;
  } cases[] = {
      {{"tag", loader.setup, "a<|b"}, 2, "\"<|\""},
      {{"tag", "--form", "utf16", loader.setup, "a<|b"}, 2, "\"<|\""},
      {{"tag", "--form", "utf8", loader.setup, "\xC3("}, 2, "not valid UTF-8"},
      {{"tag", "--form", "latin1", loader.setup, "x"}, 2, "unknown form"},
      {{"tag", loader.setup}, 2, "give FILE and TEXT"},
      {{"tag", "--remove", "--pad", loader.setup}, 2, "--remove takes no"},
      {{"tag", loader.setup, std::string(65532, 'x')}, 2, "at most 65535 bytes"},
      {{"tag", loader.dir.File("plain.txt"), "x"}, 1, "not a pxq loader file"},
      {{"tag", loader.dir.File("missing.exe"), "x"}, 1, "missing.exe: No such file or directory"},
  };
  for (const Case& c : cases) {
    CommandResult result = RunPxq(c.arguments);
    EXPECT_EQ(c.status, result.status) << c.arguments.back();
    EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
  }
  EXPECT_EQ(packed, ReadFileBytes(loader.setup));
  EXPECT_EQ(names, DirectoryNames(loader.dir.path)) << "a refused tag left a file behind";

  PXQ_NEED_TOOLS(HaveSigningTools(), kNoSigningTools);
  // Bytes appended after the signature: the certificate table no longer ends the file.
  std::string signedfile = loader.dir.File("signed.exe");
  loader.Sign(loader.setup, signedfile);
  ASSERT_EQ(0, RunShell("printf junk >> " + ShellQuote(signedfile)).status);
  CommandResult appended = RunPxq({"tag", signedfile, "x"});
  EXPECT_EQ(1, appended.status);
  EXPECT_NE(std::string::npos, appended.err.find("does not end the file")) << appended.err;
}

// libcrypto is loaded only for a signature. Where it cannot be loaded (here
// a damaged copy found first through LD_LIBRARY_PATH), list and tag name it
// and what to install; the signed file is left as it was, and commands that
// need no signature work as before.
TEST(PxqTag, UnloadableLibcryptoIsNamedAndOnlySignaturesNeedIt) {
  PXQ_NEED_TOOLS(HaveSigningTools(), kNoSigningTools);
  Loader loader(70000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::string signedfile = loader.dir.File("signed.exe");
  loader.Sign(loader.setup, signedfile);
  std::vector<uint8_t> asSigned = ReadFileBytes(signedfile);
  ASSERT_EQ(0, RunShell("mkdir " + ShellQuote(loader.dir.File("lib")) + " && echo damaged > " +
                        ShellQuote(loader.dir.File("lib/libcrypto.so.3")))
                   .status);
  auto run = [&](const std::string& arguments) {
    return RunShell("LD_LIBRARY_PATH=" + ShellQuote(loader.dir.File("lib")) + " " + ShellQuote(PxqPath()) + " " +
                    arguments);
  };
  const std::string named = "pxq needs OpenSSL's libcrypto (libcrypto.so.3) for Authenticode signatures";
  CommandResult tag = run("tag --pad -o " + ShellQuote(loader.dir.File("tagged.exe")) + " " +
                          ShellQuote(signedfile) + " x");
  EXPECT_EQ(1, tag.status);
  EXPECT_NE(std::string::npos, tag.err.find(named)) << tag.err;
  EXPECT_NE(std::string::npos, tag.err.find("install it")) << tag.err;
  EXPECT_FALSE(FileExists(loader.dir.File("tagged.exe")));
  EXPECT_EQ(asSigned, ReadFileBytes(signedfile));

  // A signature that cannot be read fails list, whatever the reason.
  CommandResult list = run("list " + ShellQuote(signedfile));
  EXPECT_EQ(1, list.status) << list.err;
  EXPECT_NE(std::string::npos, list.out.find("             not readable: " + named)) << list.out;
  EXPECT_NE(std::string::npos, list.err.find("the Authenticode signature cannot be read: " + named)) << list.err;

  // An unsigned file is tagged, and an entry extracted, without libcrypto.
  EXPECT_EQ(0, run("tag " + ShellQuote(loader.setup) + " x").status);
  EXPECT_EQ(0, run("extract --generic -o " + ShellQuote(loader.dir.File("out.sh")) + " " + ShellQuote(signedfile))
                   .status);
  EXPECT_EQ("[x]\n[" + loader.setup + "]\n", loader.Run(loader.setup));
}

// Where a tag lies, as list tells it, as the loader reads it and as
// osslsigncode judges the signature: unsigned, signed and dual-signed files
// with nothing appended, a tag appended by hand, a tag and a newline
// appended, and a tag written by pxq tag; and a file tagged, then signed.
TEST(PxqTag, PlacementAsListTheLoaderAndOsslsigncodeSeeIt) {
  PXQ_NEED_TOOLS(HaveSigningTools(), kNoSigningTools);
  Loader loader(70000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::string once = loader.dir.File("signed.exe"), dual = loader.dir.File("dual.exe");
  loader.Sign(loader.setup, once);
  loader.Sign(once, dual, "-nest");
  using nlohmann::json;
  struct Kind {
    const char* name;
    std::string file;
    bool isSigned;
  } kinds[] = {{"unsigned", loader.setup, false}, {"signed", once, true}, {"dual-signed", dual, true}};
  enum Ending { Nothing, Appended, AppendedNewline, PxqTag };
  for (const Kind& kind : kinds) {
    for (Ending ending : {Nothing, Appended, AppendedNewline, PxqTag}) {
      std::string file = loader.dir.File("case.exe");
      WriteFileBytes(file, ReadFileBytes(kind.file));
      if (ending == Appended) {
        ASSERT_EQ(0, RunShell("printf '<|x|>' >> " + ShellQuote(file)).status);
      }
      if (ending == AppendedNewline) {
        ASSERT_EQ(0, RunShell("printf '<|x|>\\n' >> " + ShellQuote(file)).status);
      }
      if (ending == PxqTag) {
        ASSERT_EQ(0, RunPxq({"tag", file, "x"}).status);
      }
      std::string label = std::string(kind.name) + " / " + std::to_string(ending);
      bool appended = ending == Appended || ending == AppendedNewline;
      bool tagged = ending == Appended || ending == PxqTag;
      bool signatureSound = kind.isSigned && !appended;

      CommandResult list = RunPxq({"list", file});
      CommandResult jsonList = RunPxq({"list", "--json", file});
      EXPECT_EQ(kind.isSigned && appended ? 1 : 0, list.status) << label << list.err;
      EXPECT_EQ(list.status, jsonList.status) << label;
      json report = json::parse(jsonList.out);
      const json& release = report["release"];
      EXPECT_EQ(list.status == 0, report["sound"].get<bool>()) << label;

      // The tag: its place and whether the loader reads it (pxq run shows it).
      if (tagged) {
        ASSERT_TRUE(release["tag"].is_object()) << label;
        EXPECT_EQ("x", release["tag"]["text"]) << label;
        EXPECT_EQ(kind.isSigned && ending == PxqTag, release["tag"]["insignature"].get<bool>()) << label;
        EXPECT_EQ(kind.isSigned && ending == Appended, release["tag"]["aftersignature"].get<bool>()) << label;
        EXPECT_TRUE(release["tag"]["readbyloader"].get<bool>()) << label;
        std::string where = !kind.isSigned ? "\n" : ending == PxqTag ? " (inside the signature)\n"
                                                                      : " (after the signature, which it breaks";
        EXPECT_NE(std::string::npos, list.out.find("tag          ansi \"x\"" + where)) << label << "\n" << list.out;
        EXPECT_EQ("[x]\n[" + file + "]\n", loader.Run(file)) << label;
      } else {
        EXPECT_TRUE(release["tag"].is_null()) << label;
        EXPECT_EQ("[" + file + "]\n", loader.Run(file)) << label;
      }
      if (ending == AppendedNewline) {
        ASSERT_TRUE(release["strandedtag"].is_object()) << label;
        EXPECT_EQ("bytes-follow", release["strandedtag"]["place"]) << label;
        EXPECT_EQ(1, release["strandedtag"]["followingbytes"]) << label;
        EXPECT_NE(std::string::npos,
                  list.out.find("tag          none: the file ends with an ansi tag \"x\" followed by 1 byte (\"\\n\")"))
            << label << "\n" << list.out;
      } else {
        EXPECT_TRUE(release["strandedtag"].is_null()) << label;
      }
      if (ending == Nothing) {
        EXPECT_NE(std::string::npos, list.out.find("tag          none\n")) << label;
      }

      // The signature: one state, the one osslsigncode sees.
      CommandResult verify = loader.Verify(file);
      EXPECT_EQ(signatureSound, verify.status == 0) << label << "\n" << verify.out << verify.err;
      if (!kind.isSigned) {
        EXPECT_TRUE(release["signature"].is_null()) << label;
        continue;
      }
      const json& signature = release["signature"];
      EXPECT_EQ(appended ? "not-at-end" : "parsed", signature["state"]) << label;
      EXPECT_EQ(appended ? (ending == Appended ? 5 : 6) : 0, signature["trailingbytes"]) << label;
      EXPECT_EQ("/CN=pxq tag test", signature["signer"]) << label;
      EXPECT_EQ(kind.file == dual ? 1u : 0u, signature["nested"].size()) << label;
      EXPECT_EQ(std::string::npos, list.out.find("not readable")) << label << "\n" << list.out;
      if (appended) {
        EXPECT_NE(std::string::npos, verify.out.find("not at the end of the file")) << label << "\n" << verify.out;
        EXPECT_NE(std::string::npos, list.out.find("read, but the file does not end with it")) << label;
        EXPECT_NE(std::string::npos, list.err.find("bytes follow the Authenticode signature")) << label << list.err;
        EXPECT_EQ("pxq: " + file + ": " + report["fault"].get<std::string>() + "\n", list.err) << label;
      }
    }
  }

  // Tagged, then signed: the tag lies in front of the signature.
  std::string early = loader.dir.File("early.exe"), earlySigned = loader.dir.File("early-signed.exe");
  ASSERT_EQ(0, RunPxq({"tag", "-o", early, loader.setup, "early"}).status);
  loader.Sign(early, earlySigned);
  CommandResult list = RunPxq({"list", earlySigned});
  EXPECT_EQ(0, list.status) << list.err;
  EXPECT_NE(std::string::npos, list.out.find("an ansi tag \"early\" lies in front of the signature (tagged, then "
                                             "signed)"))
      << list.out;
  json stranded = json::parse(RunPxq({"list", "--json", earlySigned}).out)["release"]["strandedtag"];
  ASSERT_TRUE(stranded.is_object());
  EXPECT_EQ("before-signature", stranded["place"]);
  EXPECT_EQ("early", stranded["text"]);
  EXPECT_EQ("[" + earlySigned + "]\n", loader.Run(earlySigned));
}

// A signer whose unauthenticated set is present but empty (A1 00): a file
// without a tag is left alone by --remove, and tag then remove gives back
// every byte. A file without a tag keeps its bytes and its time.
TEST(PxqTag, RemoveGivesBackTheFileAsItWas) {
  PXQ_NEED_TOOLS(HaveSigningTools(), kNoSigningTools);
  Loader loader(70000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::string signedfile = loader.dir.File("signed.exe"), emptyset = loader.dir.File("emptyset.exe");
  loader.Sign(loader.setup, signedfile);
  std::vector<uint8_t> bytes = ReadFileBytes(signedfile);
  ReplaceCertificateTable(&bytes, CertificateEntry(AppendInLastMember(SignatureDer(bytes), {0xA1, 0x00})));
  WriteFileBytes(emptyset, bytes);
  CommandResult verify = loader.Verify(emptyset);
  ASSERT_EQ(0, verify.status) << "the crafted file's signature: " << verify.out << verify.err;

  for (const std::string& file : {loader.setup, signedfile, emptyset}) {
    std::vector<uint8_t> original = ReadFileBytes(file);
    SetModificationTime(file, 1000000000, 0);
    CommandResult remove = RunPxq({"tag", "--remove", file});
    EXPECT_EQ(0, remove.status) << file << remove.err;
    EXPECT_EQ(file + ": no tag to remove; the file is unchanged\n", remove.out);
    EXPECT_EQ(original, ReadFileBytes(file)) << file;
    struct stat info = {};
    ASSERT_EQ(0, stat(file.c_str(), &info));
    EXPECT_EQ(1000000000, info.st_mtime) << file << ": an untouched file was rewritten";
    std::string copy = loader.dir.File("copy.exe");
    ASSERT_EQ(0, RunPxq({"tag", "--remove", "-o", copy, file}).status);
    EXPECT_EQ(original, ReadFileBytes(copy)) << file;

    // Tag, re-tag (padded, then not), remove.
    std::string tagged = loader.dir.File("tagged.exe");
    ASSERT_EQ(0, RunPxq({"tag", "-o", tagged, file, "first"}).status) << file;
    ASSERT_EQ(0, RunPxq({"tag", "--form", "utf16", "--pad", tagged, "second one"}).status) << file;
    EXPECT_EQ("[second]\n[one]\n[" + tagged + "]\n", loader.Run(tagged));
    if (file != loader.setup) {
      EXPECT_EQ(0, loader.Verify(tagged).status) << file;
    }
    CommandResult removed = RunPxq({"tag", "--remove", tagged});
    ASSERT_EQ(0, removed.status) << removed.err;
    EXPECT_EQ(original, ReadFileBytes(tagged)) << file << ": tag, re-tag and remove changed the file";
  }
}

// Signatures that are not one readable Authenticode entry: list names what
// is there and fails (exit 1, "sound": false, the state in the JSON); tag
// refuses them and leaves the file as it was.
TEST(PxqTag, UnreadableOrSeveralSignaturesAreNamedAndRefused) {
  PXQ_NEED_TOOLS(HaveSigningTools(), kNoSigningTools);
  Loader loader(70000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::string signedfile = loader.dir.File("signed.exe");
  loader.Sign(loader.setup, signedfile);
  std::vector<uint8_t> good = ReadFileBytes(signedfile);
  std::vector<uint8_t> der = SignatureDer(good);
  std::vector<uint8_t> garbage = {0xDE, 0xAD, 0xBE, 0xEF, 0xDE, 0xAD, 0xBE, 0xEF};
  std::vector<uint8_t> damaged = der;
  damaged[0] = 0x31;  // a SET where the ContentInfo SEQUENCE begins
  std::vector<uint8_t> twoEntries = CertificateEntry(garbage), twoSignatures = CertificateEntry(der);
  std::vector<uint8_t> entry = CertificateEntry(der);
  twoEntries.insert(twoEntries.end(), entry.begin(), entry.end());
  twoSignatures.insert(twoSignatures.end(), entry.begin(), entry.end());
  std::vector<uint8_t> otherType = entry;
  otherType[6] = 0x01;  // WIN_CERT_TYPE_X509
  std::vector<uint8_t> overlong = entry;
  PutLe32(&overlong, 0, static_cast<uint32_t>(entry.size() + 8));  // dwLength runs past the table
  struct Case {
    const char* name;
    std::vector<uint8_t> table;
    const char* what;
  } cases[] = {
      {"garbage entry, then a signature", twoEntries,
       "the certificate table holds 2 entries, where Authenticode has one (nested signatures go inside it): entry 1 "
       "at offset 0, 16 bytes, revision 0x0200, type 2 (PKCS#7 SignedData); entry 2 at offset 16"},
      {"two signatures", twoSignatures, "the certificate table holds 2 entries"},
      {"an X.509 entry", otherType, "the certificate table's entry is no Authenticode signature: entry 1 at offset 0"},
      {"damaged structure", CertificateEntry(damaged), "the certificate table holds no readable PKCS#7 structure"},
      {"an entry longer than the table", overlong, "a certificate table entry's length does not fit the table"},
  };
  for (const Case& c : cases) {
    std::string file = loader.dir.File("case.exe");
    std::vector<uint8_t> bytes = good;
    ReplaceCertificateTable(&bytes, c.table);
    WriteFileBytes(file, bytes);
    CommandResult list = RunPxq({"list", file});
    EXPECT_EQ(1, list.status) << c.name;
    EXPECT_NE(std::string::npos, list.out.find(std::string("             not readable: ") + c.what))
        << c.name << "\n" << list.out;
    EXPECT_EQ(std::string::npos, list.out.find("signer")) << c.name << ": a signer named from an unread table";
    EXPECT_NE(std::string::npos,
              list.err.find("pxq: " + file + ": the Authenticode signature cannot be read: " + c.what))
        << c.name << "\n" << list.err;
    CommandResult jsonList = RunPxq({"list", "--json", file});
    EXPECT_EQ(1, jsonList.status) << c.name;
    nlohmann::json report = nlohmann::json::parse(jsonList.out);
    EXPECT_EQ(false, report["sound"]) << c.name;
    EXPECT_EQ("unreadable", report["release"]["signature"]["state"]) << c.name;
    EXPECT_TRUE(report["release"]["signature"]["signer"].is_null()) << c.name;
    EXPECT_NE(std::string::npos, report["fault"].get<std::string>().find(c.what)) << c.name;
    // The archive itself still reads whole.
    EXPECT_EQ(2u, report["entries"].size()) << c.name;

    CommandResult tag = RunPxq({"tag", file, "x"});
    EXPECT_EQ(1, tag.status) << c.name;
    EXPECT_NE(std::string::npos, tag.err.find(c.what)) << c.name << "\n" << tag.err;
    EXPECT_EQ(bytes, ReadFileBytes(file)) << c.name;
  }
}

TEST(PxqTag, InPlaceKeepsTheFileMode) {
  Loader loader(70000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  ASSERT_EQ(0, chmod(loader.setup.c_str(), 0750));
  // The summary names the file as given, in place as with -o.
  CommandResult tag = RunShell("cd " + ShellQuote(loader.dir.path) + " && " + ShellQuote(PxqPath()) +
                               " tag setup.exe x && " + ShellQuote(PxqPath()) + " tag -o ./out.exe setup.exe y");
  ASSERT_EQ(0, tag.status) << tag.err;
  EXPECT_EQ(0u, tag.out.find("setup.exe: ansi tag of 5 bytes written")) << tag.out;
  EXPECT_NE(std::string::npos, tag.out.find("\n./out.exe: ansi tag of 5 bytes written")) << tag.out;
  struct stat info = {};
  ASSERT_EQ(0, stat(loader.setup.c_str(), &info));
  EXPECT_EQ(0750u, info.st_mode & 07777);
  EXPECT_EQ("<|x|>", Tail(loader.setup, 5));
}

}  // namespace

// A tag's bytes come from whoever made the file: list shows control bytes
// (a terminal's escape sequences, a NUL that would end the line early) as
// \xNN, and the line ends with its closing quote.
TEST(PxqTag, ListShowsControlBytesOfATagEscaped) {
  Loader loader(70000);
  PXQ_NEED_STUB(!loader.stub.empty(), kNoStub);
  std::string bytes = ReadFileText(loader.setup);
  bytes += std::string("<|a\x1b[31mred\0b|>", 15);
  WriteFileText(loader.setup, bytes);
  CommandResult list = RunPxq({"list", loader.setup});
  EXPECT_NE(std::string::npos, list.out.find("tag          ansi \"a\\x1B[31mred\\x00b\"\n")) << list.out;
  EXPECT_EQ(std::string::npos, list.out.find('\x1b')) << list.out;
}
