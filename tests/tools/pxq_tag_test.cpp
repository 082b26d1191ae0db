// pxq tag on unsigned and Authenticode-signed loader files: the loader's own
// code (pxq run) reads the tag back, osslsigncode checks the signature, and
// removing a tag gives back the file as signed, byte for byte.
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "support/windows_exe.h"
#include "tools_support.h"

namespace {

bool Have(const char* program) { return RunShell(std::string("command -v ") + program).status == 0; }

// A loader file around a shell-script installer that prints its
// arguments, one per line in brackets; `padding` bytes of incompressible
// payload set its size. The stub is the real one where it was built (it has
// a PE checksum), else a small mingw-built executable; `stub` is empty when
// neither can be had.
struct Loader {
  ScratchDir dir;
  std::string setup = dir.File("setup.exe");
  std::string stub;
  explicit Loader(size_t padding) {
    stub = std::string(PXQ_BIN_DIR) + "/pxq-loader.exe";
    if (!FileExists(stub)) stub = BuildWindowsExe(dir, "stub", "");
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
  if (loader.stub.empty()) GTEST_SKIP() << "no stub: neither built nor buildable with mingw-w64";
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
  if (loader.stub.empty()) GTEST_SKIP() << "no stub: neither built nor buildable with mingw-w64";
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
}

TEST(PxqTag, SignedFileKeepsItsSignatureThroughTagRetagAndRemove) {
  if (!Have("openssl") || !Have("osslsigncode")) GTEST_SKIP() << "openssl or osslsigncode is not installed";
  Loader loader(1000);
  if (loader.stub.empty()) GTEST_SKIP() << "no stub: neither built nor buildable with mingw-w64";
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

TEST(PxqTag, NestedSignatureSurvives) {
  if (!Have("openssl") || !Have("osslsigncode")) GTEST_SKIP() << "openssl or osslsigncode is not installed";
  Loader loader(70000);
  if (loader.stub.empty()) GTEST_SKIP() << "no stub: neither built nor buildable with mingw-w64";
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
  if (loader.stub.empty()) GTEST_SKIP() << "no stub: neither built nor buildable with mingw-w64";
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

  if (!Have("openssl") || !Have("osslsigncode")) return;
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
  if (!Have("openssl") || !Have("osslsigncode")) GTEST_SKIP() << "openssl or osslsigncode is not installed";
  Loader loader(70000);
  if (loader.stub.empty()) GTEST_SKIP() << "no stub: neither built nor buildable with mingw-w64";
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

  CommandResult list = run("list " + ShellQuote(signedfile));
  EXPECT_EQ(0, list.status) << list.err;
  EXPECT_NE(std::string::npos, list.out.find("             not readable: " + named)) << list.out;

  // An unsigned file is tagged, and an entry extracted, without libcrypto.
  EXPECT_EQ(0, run("tag " + ShellQuote(loader.setup) + " x").status);
  EXPECT_EQ(0, run("extract --generic -o " + ShellQuote(loader.dir.File("out.sh")) + " " + ShellQuote(signedfile))
                   .status);
  EXPECT_EQ("[x]\n[" + loader.setup + "]\n", loader.Run(loader.setup));
}

TEST(PxqTag, InPlaceKeepsTheFileMode) {
  Loader loader(70000);
  if (loader.stub.empty()) GTEST_SKIP() << "no stub: neither built nor buildable with mingw-w64";
  ASSERT_EQ(0, chmod(loader.setup.c_str(), 0750));
  ASSERT_EQ(0, RunPxq({"tag", loader.setup, "x"}).status);
  struct stat info = {};
  ASSERT_EQ(0, stat(loader.setup.c_str(), &info));
  EXPECT_EQ(0750u, info.st_mode & 07777);
  EXPECT_EQ("<|x|>", Tail(loader.setup, 5));
}

}  // namespace
