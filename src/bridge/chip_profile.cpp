#include "bridge/chip_profile.h"

namespace mox3 {

namespace {

void Fill(CBridgeMgr& mgr, std::uint32_t blockAddress, ItemTableKind table,
          LoadFirmwareImageFn load, CompileConfigBlockFn compile, CheckConfigHeaderFn check) {
    mgr.configBlockAddress = blockAddress;
    mgr.UseItemTable(table);
    mgr.serialItemIndex = kSerialItemIndex;
    mgr.LoadFirmwareImage = load;
    mgr.CompileConfigBlock = compile;
    mgr.CheckConfigHeader = check;
}

}  // namespace

int FillFirstGenerationProfile(CBridgeMgr& mgr) {
    Fill(mgr, kFirstGenerationBlockAddress, ItemTableKind::FirstGeneration, LoadFirmwareImageGen1,
         CompileConfigBlockGen1, CheckConfigHeaderGen1);
    return 1;
}

int FillSecondGenerationProfile(CBridgeMgr& mgr) {
    Fill(mgr, kSecondGenerationBlockAddress, ItemTableKind::SecondGeneration, LoadFirmwareImageGen2,
         CompileConfigBlockGen2, CheckConfigHeaderGen2);
    return 1;
}

int ChipKindFromImageTail(std::uint8_t secondLast, std::uint8_t last) {
    return secondLast == '0' && last == 'A' ? kChipSecondGeneration : kChipFirstGeneration;
}

}  // namespace mox3
