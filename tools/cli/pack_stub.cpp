// pack's stub: read, checked, and given the resources asked for.
#include <string.h>

#include "package/records.h"
#include "platform/types.h"
#include "tools/cli/pack_steps.h"
#include "tools/cli/pxq_cli.h"
#include "tools/host/host_error.h"
#include "tools/host/input_file.h"
#include "tools/release/stub_resources.h"
#include "tools/release/version_info.h"

namespace {

// The resource option that alone (or "--a, --b" that together) make the
// stub's resources fail where the stub takes the others, so that the
// message names what to shorten; "" when the stub itself is at fault.
std::string ResourceOptionAtFault(const StubResourceOptions& resources, const std::vector<uint8_t>& plain) {
  auto fails = [&](const StubResourceOptions& tried) {
    std::vector<uint8_t> bytes = plain;
    return !ApplyStubResources(tried, &bytes).empty();
  };
  StubResourceOptions base = resources;
  base.strings.clear();
  base.icon.clear();
  if (fails(base)) return "";
  if (!resources.icon.empty()) {
    StubResourceOptions icon = base;
    icon.icon = resources.icon;
    if (fails(icon)) return "--icon";
  }
  std::string together;
  for (const auto& string : resources.strings) {
    StubResourceOptions one = base;
    one.strings.push_back(string);
    const char* option = VersionStringOption(string.first);
    if (fails(one)) return option;
    together += (together.empty() ? "" : ", ") + std::string(option);
  }
  return together;
}

// Which of the stub's version strings stay in a file whose vendor gave
// some of them (Explorer would show pxq's own FileDescription beside the
// vendor's ProductName): a note naming them and their options, or "".
std::string KeptVersionStrings(const StubResourceOptions& resources, const StubFacts& facts) {
  bool branded = false;
  for (const auto& given : resources.strings)
    branded = branded || !IsLoaderValue(given.first);
  if (!branded || !facts.hasversion) return "";
  std::string kept, options;
  for (const auto& string : facts.version.strings) {
    if (IsLoaderValue(string.first) || string.second.empty()) continue;
    bool given = false;
    for (const auto& value : resources.strings) given = given || value.first == string.first;
    if (given) continue;
    kept += (kept.empty() ? "" : ", ") + string.first + " \"" + string.second + "\"";
    const char* option = VersionStringOption(string.first);
    if (option[0] != '\0') options += (options.empty() ? "" : ", ") + std::string(option);
  }
  if (kept.empty()) return "";
  return "the stub's own " + kept + " stay" + (options.empty() ? "" : "; " + options + " would replace them");
}

// A stub that is not a pxq stub, or one that is already packed, still
// packs (a file laid out alike may be wanted), but hardly by intent: said
// once the file is written, so that a failure stands alone. "" or the warning.
std::string StubWarning(const std::string& stubpath, const std::vector<uint8_t>& stub, const StubFacts& facts) {
  LoaderStamp stubstamp;
  if (stub.size() >= LOADER_STAMP_SIZE) DecodeLoaderStamp(stub.data(), &stubstamp);
  if (stub.size() >= LOADER_STAMP_SIZE && StampIsValid(&stubstamp))
    return stubpath + " is already a packed loader file (it carries a stamp); the new archive goes after the old "
                      "one, which is kept as dead weight. Pack the plain pxq-loader.exe instead.";
  if (!facts.pxqstub)
    return stubpath + " is not a pxq stub (it does not hold the loader's code); the packed file will not run as a "
                      "loader";
  return "";
}

}  // namespace

int PrepareStub(PackRequest* request, PackPlan* plan) {
  const std::string& stubpath = plan->stubpath;
  std::vector<uint8_t>& stubbytes = plan->stub;
  StubResourceOptions& resources = request->resources;
  int error = ReadInputFile(stubpath, &stubbytes);
  if (error != 0) return HostFailure(stubpath, error);
  uint8_t stamped[LOADER_STAMP_SIZE];
  uint32_t result = StampLoaderHeader(stubbytes, request->platformflags, stamped);
  StubFacts facts = ReadStubFacts(stubbytes);
  std::string warning = StubWarning(stubpath, stubbytes, facts);
  if (!warning.empty()) plan->warnings.push_back(warning);
  plan->note = KeptVersionStrings(resources, facts);
  if (result == 0 && resources.any) {
    if (!request->iconpath.empty()) {
      error = ReadInputFile(request->iconpath, &resources.icon);
      if (error != 0) return HostFailure(request->iconpath, error);
      std::string fault = CheckIconFile(resources.icon);
      if (!fault.empty()) return Failure(request->iconpath, fault);
    }
    std::vector<uint8_t> plain = stubbytes;
    std::string fault = ApplyStubResources(resources, &stubbytes);
    if (!fault.empty()) {
      std::string option = ResourceOptionAtFault(resources, plain);
      if (!option.empty())
        return Failure(option, fault + (option == "--icon" ? "; give a smaller icon" : "; give a shorter text"));
      return Failure(stubpath, "cannot take the resources: " + fault);
    }
  }
  if (result == ERROR_BAD_EXE_FORMAT) return Failure(stubpath, "not a Windows executable (no 64-byte MZ header)");
  if (result != 0) return Failure(stubpath, "cannot be a stub: " + ResultText(result));
  return -1;
}
