// The pxq command through its built binary: pack, list and extract round
// trips, refusals, outputs that never appear half-written, usage errors.
#include <stdio.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "package/records.h"
#include "support/file_bytes.h"
#include "support/package_fixture.h"
#include "support/scratch_dir.h"
#include "tools_support.h"

namespace {

std::vector<uint8_t> Text(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

struct stat StatOf(const std::string& path) {
  struct stat info = {};
  EXPECT_EQ(0, stat(path.c_str(), &info)) << path;
  return info;
}

// A stub and three inputs with known times and permissions.
struct PackInputs {
  ScratchDir dir;
  std::vector<uint8_t> generic = PatternBytes(3000, 1);
  std::vector<uint8_t> x64 = PatternBytes(70000, 2);
  PackInputs() {
    WriteFileBytes(dir.File("stub.exe"), TestStub());
    WriteFileBytes(dir.File("generic.exe"), generic);
    WriteFileBytes(dir.File("x64.exe"), x64);
    WriteFileBytes(dir.File("empty.bin"), {});
    SetModificationTime(dir.File("generic.exe"), 1210125943, 265625000);  // 2008-05-07 02:05:43.265625
    SetModificationTime(dir.File("x64.exe"), 1700000000, 123456789);      // cut to 100 ns when packed
    chmod(dir.File("generic.exe").c_str(), 0444);
  }
  std::vector<std::string> PackArguments(const std::string& output) const {
    return {"pack", "-o", output, "--stub", dir.File("stub.exe"), "--nt-x64", dir.File("x64.exe"),
            "--generic", dir.File("generic.exe"), "--entry", "0xFFFFFFFFFFFF0002=" + dir.File("empty.bin"),
            "--preset", "1"};
  }
};

TEST(PxqCommand, PackListExtractRoundTrip) {
  PackInputs in;
  std::string setup = in.dir.File("setup.exe");
  CommandResult pack = RunPxq(in.PackArguments(setup));
  ASSERT_EQ(0, pack.status) << pack.err;

  CommandResult list = RunPxq({"list", setup});
  ASSERT_EQ(0, list.status) << list.err;
  const std::string& out = list.out;
  EXPECT_NE(std::string::npos, out.find("builds: generic, nt-x64 (platform flags 0x05)")) << out;
  EXPECT_NE(std::string::npos, out.find("at offset 128 (0x80)")) << out;
  // 73,192 bytes decompressed: the dictionary is the next power of two.
  EXPECT_NE(std::string::npos, out.find("lc 3, lp 0, pb 2, dictionary 131072 bytes")) << out;
  // The builds in the order given, then the --entry ones.
  size_t first = out.find("1  0xFFFFFFFFFFFF000A  NtX64InstallerId           70000  2023-11-14 22:13:20.1234567 UTC  NORMAL (0x80)");
  size_t second = out.find("2  0xFFFFFFFFFFFF0008  GenericInstallerId          3000  2008-05-07 02:05:43.2656250 UTC  READONLY (0x1)");
  size_t third = out.find("3  0xFFFFFFFFFFFF0002                                 0  ");
  EXPECT_TRUE(first != std::string::npos && second != std::string::npos && third != std::string::npos) << out;
  EXPECT_TRUE(first < second && second < third) << out;
  EXPECT_NE(std::string::npos, out.find("the end marker follows entry 3")) << out;

  struct Case {
    std::vector<std::string> select;
    std::vector<uint8_t> data;
    int64_t seconds;
    uint32_t nanoseconds;
    bool readonly;
  } cases[] = {
      {{"--generic"}, in.generic, 1210125943, 265625000, true},
      {{"--nt-x64"}, in.x64, 1700000000, 123456700, false},
      {{"--id", "0xFFFFFFFFFFFF000A"}, in.x64, 1700000000, 123456700, false},
      {{"--id=18446744073709486082"}, {}, 0, 0, false},  // 0xFFFFFFFFFFFF0002, in decimal
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string output = in.dir.File("out" + std::to_string(n++));
    std::vector<std::string> arguments = {"extract", setup, "-o", output};
    arguments.insert(arguments.end(), c.select.begin(), c.select.end());
    CommandResult extract = RunPxq(arguments);
    ASSERT_EQ(0, extract.status) << c.select[0] << ": " << extract.err;
    EXPECT_TRUE(ReadFileBytes(output) == c.data) << c.select[0];
    struct stat info = StatOf(output);
    EXPECT_EQ(c.readonly, (info.st_mode & 0222) == 0) << c.select[0];
    if (!c.data.empty()) {
      EXPECT_EQ(c.seconds, info.st_mtim.tv_sec) << c.select[0];
      EXPECT_EQ(c.nanoseconds, static_cast<uint32_t>(info.st_mtim.tv_nsec)) << c.select[0];
    }
  }
}

TEST(PxqCommand, RefusesAnOutputThatIsAnInput) {
  PackInputs in;
  std::string setup = in.dir.File("setup.exe");
  ASSERT_EQ(0, RunPxq(in.PackArguments(setup)).status);
  std::vector<uint8_t> packed = ReadFileBytes(setup);

  struct Case {
    std::vector<std::string> arguments;
    std::string input;
  } cases[] = {
      {in.PackArguments(in.dir.File("x64.exe")), in.dir.File("x64.exe")},
      {in.PackArguments(in.dir.path + "/./stub.exe"), in.dir.File("stub.exe")},
      {{"extract", setup, "--generic", "-o", in.dir.path + "/../" + in.dir.path.substr(in.dir.path.rfind('/') + 1) +
                                                 "/setup.exe"},
       setup},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> before = ReadFileBytes(c.input);
    CommandResult result = RunPxq(c.arguments);
    EXPECT_EQ(1, result.status) << c.arguments[2];
    EXPECT_NE(std::string::npos, result.err.find("choose another output file")) << result.err;
    EXPECT_TRUE(ReadFileBytes(c.input) == before) << c.input;
  }
  EXPECT_TRUE(ReadFileBytes(setup) == packed);
}

TEST(PxqCommand, FailuresLeaveTheOutputAsItWas) {
  PackInputs in;
  std::string setup = in.dir.File("setup.exe");
  ASSERT_EQ(0, RunPxq(in.PackArguments(setup)).status);
  // A package whose second entry claims ten bytes more than the stream holds:
  // the loader's extraction writes part of it before it fails.
  StreamEntry first = MakeStreamEntry(GenericInstallerId, PatternBytes(100, 5));
  StreamEntry second = MakeStreamEntry(NtX64InstallerId, PatternBytes(200000, 6));
  second.header.datasize += 10;
  std::vector<uint8_t> cut = TestStub();
  ASSERT_EQ(0u, StampLoaderHeader(cut, 0x05, cut.data()));
  std::vector<uint8_t> archive = ArchiveFromPlain(PlainStream({first, second}));
  cut.insert(cut.end(), archive.begin(), archive.end());
  WriteFileBytes(in.dir.File("cut.exe"), cut);

  std::vector<uint8_t> old = Text("old contents\n");
  std::string output = in.dir.File("out.exe");
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  } cases[] = {
      {{"pack", "-o", output, "--stub", in.dir.File("stub.exe"), "--generic", in.dir.File("generic.exe"), "--entry",
        "5=" + in.dir.File("missing")},
       "pxq: " + in.dir.File("missing") + ": No such file or directory\n"},
      {{"extract", setup, "--id", "99", "-o", output},
       "pxq: " + setup + ": no entry 0x0000000000000063 in the archive\n"},
      {{"extract", setup, "--nt-x86", "-o", output},
       "pxq: " + setup + ": no entry 0xFFFFFFFFFFFF0009 (NtX86InstallerId) in the archive\n"},
      {{"extract", in.dir.File("cut.exe"), "--nt-x64", "-o", output},
       "pxq: " + in.dir.File("cut.exe") + ": archive damaged: the data of entry 2 ends early (ERROR_HANDLE_EOF 38)\n"},
      {{"extract", setup, "--generic", "-o", in.dir.File("no/such/dir/out")},
       "pxq: " + in.dir.File("no/such/dir/out") + ": No such file or directory\n"},
  };
  for (const auto& c : cases) {
    WriteFileBytes(output, old);
    std::vector<std::string> names = DirectoryNames(in.dir.path);
    CommandResult result = RunPxq(c.arguments);
    EXPECT_EQ(1, result.status) << c.message;
    EXPECT_EQ(c.message, result.err);
    EXPECT_TRUE(ReadFileBytes(output) == old) << c.message;
    EXPECT_EQ(names, DirectoryNames(in.dir.path)) << "a temporary file was left: " << c.message;
  }
}

TEST(PxqCommand, ExtractBlamesTheOutputNotDamageBehindTheEntry) {
  PackInputs in;
  std::string setup = in.dir.File("setup.exe");
  ASSERT_EQ(0, RunPxq(in.PackArguments(setup)).status);
  // Cut into the stream's end: the first entry (NtX64, 70,000 bytes) still
  // reads whole, the entries behind it do not.
  std::vector<uint8_t> bytes = ReadFileBytes(setup);
  bytes.resize(bytes.size() - 1000);
  std::string cut = in.dir.File("cut.exe");
  WriteFileBytes(cut, bytes);
  std::string output = in.dir.File("out.exe");
  ASSERT_EQ(0, RunPxq({"extract", cut, "--nt-x64", "-o", output}).status);
  EXPECT_TRUE(ReadFileBytes(output) == in.x64);
  std::remove(output.c_str());

  // Writes beyond 10 KiB fail (EFBIG, with SIGXFSZ ignored).
  std::vector<std::string> names = DirectoryNames(in.dir.path);
  CommandResult result = RunShell("ulimit -f 20; trap '' XFSZ; " + ShellQuote(PxqPath()) + " extract " +
                                  ShellQuote(cut) + " --nt-x64 -o " + ShellQuote(output));
  EXPECT_EQ(1, result.status);
  EXPECT_EQ(0u, result.err.find("pxq: " + output + ": cannot write entry 0xFFFFFFFFFFFF000A (NtX64InstallerId): "))
      << result.err;
  EXPECT_EQ(names, DirectoryNames(in.dir.path)) << "a temporary file was left";
  // To standard output, the entry goes through a scratch file in $TMPDIR:
  // that is what fills up, not standard output.
  std::string scratch = in.dir.File("scratch");
  ASSERT_EQ(0, mkdir(scratch.c_str(), 0700));
  result = RunShell("ulimit -f 20; trap '' XFSZ; TMPDIR=" + ShellQuote(scratch) + " " + ShellQuote(PxqPath()) +
                    " extract " + ShellQuote(cut) + " --nt-x64 -o - >/dev/null");
  EXPECT_EQ(1, result.status);
  EXPECT_EQ(0u, result.err.find("pxq: " + scratch + ": cannot write entry 0xFFFFFFFFFFFF000A (NtX64InstallerId) "
                                "into the scratch file for standard output: "))
      << result.err;
  EXPECT_NE(std::string::npos, result.err.find("; set TMPDIR to a directory with room\n")) << result.err;
  EXPECT_TRUE(DirectoryNames(scratch).empty()) << "the scratch file was left";
  // An entry behind the cut is blamed on the damage.
  result = RunPxq({"extract", cut, "--generic", "-o", output});
  EXPECT_EQ(1, result.status);
  EXPECT_EQ(0u, result.err.find("pxq: " + cut + ": archive damaged: the data of entry 2 ")) << result.err;
}

// The order of the entries in the stream, from `pxq list`.
std::vector<std::string> ListedIds(const std::string& file) {
  CommandResult list = RunPxq({"list", file});
  EXPECT_EQ(0, list.status) << list.err;
  std::vector<std::string> ids;
  for (size_t at = list.out.find("  0x"); at != std::string::npos; at = list.out.find("  0x", at + 1))
    ids.push_back(list.out.substr(at + 2, 18));
  return ids;
}

TEST(PxqCommand, PackStoresTheCommonBuildFirstAndSizesTheDictionary) {
  PackInputs in;
  WriteFileBytes(in.dir.File("x86.exe"), PatternBytes(100, 3));
  std::string setup = in.dir.File("setup.exe");
  std::vector<std::string> given = {"pack", "-o", setup, "--stub", in.dir.File("stub.exe"), "--preset", "1",
                                    "--entry", "0x5=" + in.dir.File("empty.bin"), "--generic", in.dir.File("generic.exe"),
                                    "--nt-x86", in.dir.File("x86.exe"), "--nt-x64", in.dir.File("x64.exe")};
  CommandResult pack = RunPxq(given);
  ASSERT_EQ(0, pack.status) << pack.err;
  EXPECT_NE(std::string::npos, pack.out.find("; 4 entries; dictionary 128 KiB\n")) << pack.out;
  std::vector<std::string> common = {"0xFFFFFFFFFFFF000A", "0xFFFFFFFFFFFF0009", "0xFFFFFFFFFFFF0008",
                                     "0x0000000000000005"};
  EXPECT_EQ(common, ListedIds(setup));

  given.insert(given.end(), {"--keep-order", "--dict", "64KiB"});
  pack = RunPxq(given);
  ASSERT_EQ(0, pack.status) << pack.err;
  EXPECT_NE(std::string::npos, pack.out.find("dictionary 64 KiB\n")) << pack.out;
  std::vector<std::string> kept = {"0x0000000000000005", "0xFFFFFFFFFFFF0008", "0xFFFFFFFFFFFF0009",
                                   "0xFFFFFFFFFFFF000A"};
  EXPECT_EQ(kept, ListedIds(setup));
  // Each build is still the one extracted for its id.
  ASSERT_EQ(0, RunPxq({"extract", setup, "--nt-x64", "-o", in.dir.File("out")}).status);
  EXPECT_TRUE(ReadFileBytes(in.dir.File("out")) == in.x64);
  // A dictionary cap above the payload changes nothing; one in plain bytes is taken.
  given.back() = "1536MiB";
  ASSERT_EQ(0, RunPxq(given).status);
  EXPECT_NE(std::string::npos, RunPxq({"list", setup}).out.find("dictionary 131072 bytes"));
  given.back() = "5000";
  ASSERT_EQ(0, RunPxq(given).status);
  EXPECT_NE(std::string::npos, RunPxq({"list", setup}).out.find("dictionary 5000 bytes"));
}

TEST(PxqCommand, UsageErrorsAndHelp) {
  PackInputs in;
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  } cases[] = {
      {{}, "Usage: pxq COMMAND"},
      {{"frobnicate"}, "unknown command 'frobnicate'"},
      {{"pack", "--generic", in.dir.File("generic.exe")}, "no output file; give -o OUT"},
      {{"pack", "-o", in.dir.File("o")}, "nothing to pack"},
      {{"pack", "-o", in.dir.File("o"), "--generic"}, "option --generic needs a value"},
      // An empty value names nothing: it counts as missing.
      {{"pack", "-o", in.dir.File("o"), "--generic="}, "option --generic needs a value"},
      {{"pack", "-o", in.dir.File("o"), "--nt-x64", ""}, "option --nt-x64 needs a value"},
      {{"pack", "-o", in.dir.File("o"), "--stub=", "--generic", "a"}, "option --stub needs a value"},
      {{"pack", "-o", "", "--generic", "a"}, "option -o needs a value"},
      {{"pack", "-o", "x", "--output=y", "--generic", "a"}, "more than one output file given"},
      {{"pack", "-o", "x", "--stub", "a", "--stub", "b", "--generic", "a"}, "--stub given twice"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--generic", "b"}, "--generic given twice"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--entry", "0xFFFFFFFFFFFF0008=b"},
       "entry id 0xFFFFFFFFFFFF0008 given twice"},
      {{"pack", "-o", in.dir.File("o"), "--entry", "12"}, "bad entry '12', expected ID=FILE"},
      {{"pack", "-o", in.dir.File("o"), "--entry", "0x1g=a"}, "bad entry"},
      {{"pack", "-o", in.dir.File("o"), "--entry", "18446744073709551616=a"}, "bad entry"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--preset", "10"},
       "bad preset '10'; give 0 to 9, or 0e to 9e for extreme"},
      // Both sides of a clash of ids are named.
      {{"pack", "-o", in.dir.File("o"), "--nt-x64", "a", "--entry", "0xFFFFFFFFFFFF000A=b"},
       "entry id 0xFFFFFFFFFFFF000A given twice: --entry 0xFFFFFFFFFFFF000A=b, and 0xFFFFFFFFFFFF000A is the NT x64 "
       "build's id (--nt-x64 a); give the entry another id"},
      {{"pack", "-o", in.dir.File("o"), "--entry", "5=a", "--entry", "0x5=b"},
       "entry id 0x0000000000000005 given twice: --entry 5=a and --entry 0x5=b"},
      // A version's leading numbers are all taken or refused.
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--file-version", "1..2"},
       "--file-version '1..2' has malformed leading numbers (a dot with no number after it)"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--product-version", "2.1."},
       "--product-version '2.1.' has malformed leading numbers"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--file-version", "1.2.3.4.5"},
       "--file-version '1.2.3.4.5' has more than four leading numbers"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "stray"}, "unexpected argument 'stray'"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--dict", "4095"}, "bad dictionary size '4095'"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--dict", "1537MiB"}, "bad dictionary size '1537MiB'"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--dict", "8GiB"}, "bad dictionary size '8GiB'"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--dict", "-8M"}, "bad dictionary size '-8M'"},
      {{"pack", "-o", in.dir.File("o"), "--generic", "a", "--dict", "99999999999999999999"}, "bad dictionary size"},
      {{"list"}, "no FILE given"},
      {{"list", "a", "b"}, "one FILE only"},
      {{"extract", "a", "-o", "b"}, "give exactly one of --id, --generic, --nt-x86, --nt-x64"},
      {{"extract", "a", "--generic", "--nt-x64", "-o", "b"}, "give exactly one of"},
      {{"extract", "a", "--generic"}, "no output file; give -o OUT"},
      {{"extract", "a", "--id", "-5", "-o", "b"}, "bad id '-5'"},
      {{"extract", "a", "--id=", "-o", "b"}, "option --id needs a value"},
      {{"extract", "a", "--generic", "-o="}, "option -o needs a value"},
      {{"extract", "a", "--generic", "-o", "b", "--output", "c"}, "more than one output file given"},
      {{"extract", "", "--generic", "-o", "b"}, "FILE is an empty name"},
      {{"list", ""}, "FILE is an empty name"},
      {{"run"}, "no FILE given"},
      {{"run", ""}, "FILE is an empty name"},
      // A flag takes no value; the first wrong argument is the one named;
      // after "--" every argument is an operand, --help too.
      {{"list", "a", "--json=1"}, "unknown option --json=1"},
      {{"pack", "--bogus", "-o", "x", "--preset", "99"}, "unexpected argument '--bogus'"},
      {{"pack", "-o", "x", "--preset", "99", "--bogus"}, "bad preset '99'"},
      {{"tag", "--", "--help"}, "give FILE and TEXT"},
  };
  for (const auto& c : cases) {
    CommandResult result = RunPxq(c.arguments);
    EXPECT_EQ(2, result.status) << c.message;
    EXPECT_NE(std::string::npos, result.err.find(c.message)) << result.err;
  }
  for (const char* command : {"pack", "list", "extract", "run"}) {
    CommandResult help = RunPxq({command, "--help"});
    EXPECT_EQ(0, help.status) << command;
    EXPECT_EQ(0u, help.out.find(std::string("Usage: pxq ") + command)) << help.out;
  }
  CommandResult help = RunPxq({"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_NE(std::string::npos, help.out.find("extract")) << help.out;
}

TEST(PxqCommand, PackTakesTheStubBesidePxqByDefault) {
  PackInputs in;
  // A copy of pxq in a directory of its own, with and without a stub beside it.
  std::string bin = in.dir.File("bin");
  ASSERT_EQ(0, RunShell("mkdir " + ShellQuote(bin) + " && cp " + ShellQuote(PxqPath()) + " " + ShellQuote(bin)).status);
  std::string command = ShellQuote(bin + "/pxq") + " pack -o " + ShellQuote(in.dir.File("setup.exe")) +
                        " --generic " + ShellQuote(in.dir.File("generic.exe"));
  CommandResult missing = RunShell(command);
  EXPECT_EQ(2, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("pxq-loader.exe is not beside pxq nor in ../share/pxq; give --stub FILE")) << missing.err;

  std::vector<uint8_t> stub = TestStub();
  stub[100] = 0x5A;
  WriteFileBytes(bin + "/pxq-loader.exe", stub);
  CommandResult pack = RunShell(command);
  ASSERT_EQ(0, pack.status) << pack.err;
  std::vector<uint8_t> file = ReadFileBytes(in.dir.File("setup.exe"));
  ASSERT_GT(file.size(), stub.size());
  EXPECT_TRUE(std::equal(stub.begin() + 64, stub.end(), file.begin() + 64));
  EXPECT_EQ(stub.size(), ReadLe32(&file[0x2C]));
}

}  // namespace
