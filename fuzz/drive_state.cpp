// The state file of an emulated drive's folder, as a killed process or a hand edit may leave
// it. A state that parses writes back into a text that parses to the same state, and a folder
// holding it (with a flash file of the size it names) loads with its unfinished flash writes
// applied inside the flash.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "emulator/drive_state.h"
#include "emulator/flash_layout.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mox3;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto state = ParseDriveState(text, nullptr);
    if (!state) return 0;

    const std::string once = SerializeDriveState(*state);
    std::string error;
    auto again = ParseDriveState(once, &error);
    if (!again) fuzz::Broken(("a written state does not parse: " + error).c_str());
    if (SerializeDriveState(*again) != once) fuzz::Broken("a state changed on its way through");

    // The folder: the state as given and an erased flash of the size it names.
    if (state->kind != DeviceKind::Bridge || state->flashSize > 1024 * 1024) return 0;
    const fs::path& dir = fuzz::ScratchFolder();
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
        fs::remove(entry.path(), ec);
    }
    fuzz::WriteFile(dir / kDriveStateFile, {data, size});
    const std::vector<std::uint8_t> erased(state->flashSize, 0xFF);
    fuzz::WriteFile(dir / FlashFileName(state->flashRevision), erased);
    auto drive = LoadDrive(dir, &error);
    if (!drive) fuzz::Broken(("a folder with a sound state does not load: " + error).c_str());
    if (drive->flash.size() != state->flashSize || !drive->state.flashRedo.empty()) {
        fuzz::Broken("a loaded flash has the wrong size or writes left over");
    }
    StartIdentity(drive->state.generation, drive->state.chipName, drive->state.diskSerial,
                  drive->flash, drive->state.loader);
    StoredBlockLength(drive->state.generation, drive->flash);
    return 0;
}
