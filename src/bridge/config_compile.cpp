// The chip profile's compile and header-check operations: the manager's working fields in,
// the configuration compilers' results back into the manager.
#include "config/profile_reader.h"
#include "bridge/chip_profile.h"
#include "config/compile_input.h"

namespace mox3 {

namespace {

int Compile(CBridgeMgr& mgr, CompileOutcome (*compile)(const CompileInput&)) {
    CompileInput input;
    input.items = mgr.Items();
    input.buffer = mgr.imageBuffer;
    input.firmwareLength = mgr.firmwareLength;
    input.bcdUsbOverride = mgr.bcdUsbOverride;
    CompileOutcome out = compile(input);
    mgr.compileError = out.error;
    for (CompileWarning& w : out.warnings) AddWarning(mgr.compileWarnings, std::move(w));
    if (out.firmwareAddress) mgr.firmwareAddress = *out.firmwareAddress;
    if (out.flashParameters) mgr.flashParameters = *out.flashParameters;
    if (out.message) mgr.scratchText = *out.message;
    return out.ok ? 1 : 0;
}

int CheckHeader(CBridgeMgr& mgr, int generation) {
    ConfigHeaderCheck check = mgr.configBytes
                                  ? CheckConfigHeader(ProfileFile::Parse(*mgr.configBytes), generation)
                                  : CheckConfigHeader(mgr.configPath, generation);
    for (CompileWarning& w : check.warnings) AddWarning(mgr.compileWarnings, std::move(w));
    if (!check.ok) {
        mgr.compileError = check.error;
        return 0;
    }
    mgr.configNameText = check.name;
    if (check.bcdUsb) mgr.bcdUsbOverride = *check.bcdUsb;
    return 1;
}

}  // namespace

int CompileConfigBlockGen1(CBridgeMgr& mgr, int /*deviceIndex*/) {
    return Compile(mgr, CompileFirstGenerationBlock);
}

int CompileConfigBlockGen2(CBridgeMgr& mgr, int /*deviceIndex*/) {
    return Compile(mgr, CompileSecondGenerationBlock);
}

int CheckConfigHeaderGen1(CBridgeMgr& mgr) {
    return CheckHeader(mgr, 1);
}

int CheckConfigHeaderGen2(CBridgeMgr& mgr) {
    return CheckHeader(mgr, 2);
}

}  // namespace mox3
