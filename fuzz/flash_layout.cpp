// What an emulated bridge makes of its flash when it starts: the first input byte picks the
// generation, the rest is the flash from the configuration block's address on (erased
// beyond). Whatever the flash holds, the start reads inside it and presents an identity.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "emulator/emulator_backend.h"
#include "emulator/flash_layout.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mox3;
    if (size < 1) return 0;
    const int generation = (data[0] & 1) != 0 ? 1 : 2;
    const std::uint32_t flashSize = (data[0] & 2) != 0 ? kFirstGenerationFlashSize
                                                       : kSecondGenerationFlashSize;
    std::vector<std::uint8_t> flash(flashSize, 0xFF);
    const std::uint32_t start = EmulatedBlockAddress(generation);
    std::copy_n(data + 1, std::min<std::size_t>(size - 1, flashSize - start),
                flash.begin() + start);

    EmulatedFlashReport report = AnalyseFlash(generation, flash);
    PresentedIdentity normal = StartIdentity(generation, "CHIP", "  DISK SERIAL  ", flash, false);
    PresentedIdentity loader = StartIdentity(generation, "CHIP", "  DISK SERIAL  ", flash, true);
    if (!loader.loader) fuzz::Broken("a bridge asked for its loader started its firmware");
    if (normal.loader == report.normalFirmware()) {
        fuzz::Broken("the start and the flash report disagree on the firmware");
    }
    for (const std::u16string* text :
         {&normal.usb.manufacturer, &normal.usb.product, &normal.usb.serialNumber}) {
        if (text->size() > 24) fuzz::Broken("a string longer than its slot in the block");
    }
    return 0;
}
