// The usbredir device side as any peer may talk to it: the input is the byte stream from the
// peer, handed over in two pieces with a look at the drive (and some drive time) in between.
// The drive is a second-generation bridge made once per process; its folder is put back as
// it was made before every input, so that an input does the same each time it runs.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "emulator/drive_state.h"
#include "emulator/folder_files.h"
#include "emulator/usbredir_device.h"
#include "fuzz_support.h"

namespace fs = std::filesystem;

namespace {

using namespace mox3;

struct Drive {
    fs::path dir = fuzz::ScratchFolder() / "drive";
    std::string stateText;
    std::string flashName;
    std::vector<std::uint8_t> flash;

    Drive() {
        ManualClock clock;
        EmulatedDriveSetup setup;
        setup.diskBlocks = 4096;
        setup.restartDelayMs = 100;
        std::string error;
        if (!CreateEmulatedDrive(dir, setup, clock, &error)) fuzz::Broken(error.c_str());
        auto loaded = LoadDrive(dir, &error);
        if (!loaded) fuzz::Broken(error.c_str());
        stateText = loaded->loadedText;
        flashName = FlashFileName(loaded->state.flashRevision);
        flash = loaded->flash;
    }

    void Restore() const {
        std::error_code ec;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("drive.state", 0) == 0 || name.rfind("flash-", 0) == 0) {
                fs::remove(entry.path(), ec);
            }
        }
        fuzz::WriteFile(dir / kDriveStateFile, {reinterpret_cast<const std::uint8_t*>(
                                                    stateText.data()),
                                                stateText.size()});
        fuzz::WriteFile(dir / flashName, flash);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Drive drive;
    drive.Restore();
    auto clock = std::make_shared<ManualClock>();
    std::size_t sent = 0;
    UsbRedirDevice device(drive.dir, clock, [&](std::span<const std::uint8_t> packet) {
        if (packet.size() < 12) fuzz::Broken("a packet shorter than its header");
        sent += packet.size();
        return true;
    });
    if (!device.Start()) fuzz::Broken("the hello did not go out");
    const std::span<const std::uint8_t> stream(data, size);
    const std::size_t half = size / 2;
    if (device.Receive(stream.first(half))) {
        clock->Advance(device.Poll());
        device.Receive(stream.subspan(half));
    }
    return 0;
}
