#include "emulator/emulator_backend.h"

#include <cstdio>
#include <fstream>

#include "config/text.h"
#include "emulator/bridge_chip.h"
#include "emulator/drive_state.h"
#include "emulator/flash_layout.h"

namespace mox3 {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSmallestFlash = 16 * 1024;
constexpr std::uint32_t kLargestFlash = 16 * 1024 * 1024;  // 24-bit flash addresses
constexpr std::uint32_t kPage = 1024;

bool Fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return false;
}

class EmulatedDevice : public PassThroughDevice {
  public:
    EmulatedDevice(fs::path dir, std::u16string name, std::uint64_t session,
                   std::shared_ptr<EmulatorClock> clock)
        : dir_(std::move(dir)),
          name_(std::move(name)),
          session_(session),
          clock_(std::move(clock)) {}

    bool Send(const ScsiRequest& request, ScsiReply& reply) override {
        bool delivered = false;
        ScsiReply answer;
        bool saved = UpdateDrive(
            dir_,
            [&](LoadedDrive& drive) {
                BridgeChip chip(drive, clock_->NowMs());
                delivered = chip.Execute(session_, request, answer);
                return true;
            },
            nullptr);
        if (!saved || !delivered) return false;
        reply = std::move(answer);
        return true;
    }

    std::u16string Name() const override { return name_; }

  private:
    fs::path dir_;
    std::u16string name_;
    std::uint64_t session_;
    std::shared_ptr<EmulatorClock> clock_;
};

class EmulatorBackend : public PassThroughBackend {
  public:
    explicit EmulatorBackend(std::shared_ptr<EmulatorClock> clock) : clock_(std::move(clock)) {}

    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override {
        fs::path dir(Utf16ToUtf8(path));
        if (!IsEmulatedDriveFolder(dir)) {
            Fail(error, dir.string() + " is not an emulated drive");
            return nullptr;
        }
        std::uint64_t session = 0;
        std::string reason;
        std::string why;
        bool ok = UpdateDrive(
            dir,
            [&](LoadedDrive& drive) {
                BridgeChip chip(drive, clock_->NowMs());
                chip.Settle();
                if (chip.Present()) session = drive.state.session;
                reason = drive.state.absentReason;
                return true;
            },
            &why);
        if (!ok) {
            Fail(error, why);
            return nullptr;
        }
        if (session == 0) {
            Fail(error, dir.string() + ": the drive is off the bus (" + reason + ")");
            return nullptr;
        }
        return std::make_unique<EmulatedDevice>(dir, std::u16string(path), session, clock_);
    }

  private:
    std::shared_ptr<EmulatorClock> clock_;
};

std::vector<std::string> DescribeFaults(const DriveState& s) {
    std::vector<std::string> out;
    const DriveFaults& f = s.faults;
    auto ahead = [&](std::uint64_t at) {
        return at > s.commandsTotal ? std::to_string(at - s.commandsTotal) : std::string("0");
    };
    char code[8];
    if (f.failCommandAt) out.push_back("fail the command " + ahead(*f.failCommandAt) + " from now");
    if (f.failKind) {
        std::snprintf(code, sizeof code, "0x%02X", *f.failKind);
        out.push_back("fail every command " + std::string(code) + " from its " +
                      std::to_string(f.failKindFrom) + ". on (" + std::to_string(f.failKindSeen) +
                      " seen)");
    }
    if (f.corruptReadAddress) {
        out.push_back("corrupt the read-back byte at flash address " +
                      std::to_string(*f.corruptReadAddress));
    }
    if (f.stayBusy) out.push_back("stay busy");
    if (f.refuseUpdateMode) out.push_back("refuse SelectUpdateMode");
    if (f.noReturn) out.push_back("never return after a restart");
    if (f.pullCableAt)
        out.push_back("pull the cable at the command " + ahead(*f.pullCableAt) + " from now");
    return out;
}

}  // namespace

std::shared_ptr<PassThroughBackend> MakeEmulatorBackend(std::shared_ptr<EmulatorClock> clock) {
    return std::make_shared<EmulatorBackend>(std::move(clock));
}

bool IsEmulatedDriveFolder(const fs::path& dir) {
    std::ifstream in(dir / kDriveStateFile, std::ios::binary);
    std::string first;
    return in && std::getline(in, first) && first == kDriveStateFormatLine;
}

std::vector<std::uint8_t> FactoryFlash(int generation, std::uint32_t flashSize,
                                       std::span<const std::uint8_t> block,
                                       std::uint32_t firmwareAddress,
                                       std::span<const std::uint8_t> firmware,
                                       std::uint32_t programmedLength,
                                       std::uint32_t logicalBlockLength, std::string* error) {
    auto fail = [&](std::string why) {
        Fail(error, std::move(why));
        return std::vector<std::uint8_t>{};
    };
    const std::uint32_t blockAddress = EmulatedBlockAddress(generation);
    if (block.size() != kEmulatedBlockSize)
        return fail("the configuration block is not 4096 bytes");
    if (programmedLength == 0) programmedLength = static_cast<std::uint32_t>(firmware.size());
    const std::uint64_t length = (std::uint64_t{programmedLength} + kPage - 1) / kPage * kPage;
    if (firmwareAddress < blockAddress + kEmulatedBlockSize &&
        firmwareAddress + length > blockAddress) {
        return fail("the firmware at " + std::to_string(firmwareAddress) +
                    " overlaps the configuration block");
    }
    if (blockAddress + kEmulatedBlockSize > flashSize || firmwareAddress + length > flashSize) {
        return fail("the firmware (" + std::to_string(length) + " bytes at " +
                    std::to_string(firmwareAddress) + ") does not fit a flash of " +
                    std::to_string(flashSize) + " bytes");
    }
    std::vector<std::uint8_t> flash(flashSize, 0xFF);
    std::copy(block.begin(), block.end(), flash.begin() + blockAddress);
    for (std::uint64_t i = 0; i < length; ++i) {
        flash[firmwareAddress + i] = i < firmware.size() ? firmware[i] : 0;
    }
    StoreBlockLength(generation, flash, logicalBlockLength);
    return flash;
}

bool CreateEmulatedDrive(const fs::path& dir, const EmulatedDriveSetup& setup, EmulatorClock& clock,
                         std::string* error) {
    if (setup.generation != 1 && setup.generation != 2)
        return Fail(error, "generation must be 1 or 2");
    const bool first = setup.generation == 1;
    std::uint32_t flashSize = setup.flashSize != 0 ? setup.flashSize
                              : first              ? kFirstGenerationFlashSize
                                                   : kSecondGenerationFlashSize;
    if (flashSize % 4096 != 0 || flashSize < kSmallestFlash || flashSize > kLargestFlash) {
        return Fail(error, "the flash size must be a multiple of 4096 from " +
                               std::to_string(kSmallestFlash) + " to " +
                               std::to_string(kLargestFlash) + " bytes");
    }
    if (!setup.flash.empty() && setup.flash.size() != flashSize) {
        return Fail(error, "the flash contents are " + std::to_string(setup.flash.size()) +
                               " bytes, the flash " + std::to_string(flashSize));
    }
    std::string chip = setup.chipName.empty()
                           ? (first ? kFirstGenerationChipName : kSecondGenerationChipName)
                           : setup.chipName;
    if (chip.size() > 71) return Fail(error, "the chip name is longer than 71 characters");

    std::error_code ec;
    if (fs::exists(dir, ec)) {
        if (!fs::is_directory(dir, ec)) return Fail(error, dir.string() + " is not a folder");
        if (!fs::is_empty(dir, ec)) {
            return Fail(error,
                        dir.string() + " is not empty; a drive is only made in a new folder");
        }
    } else if (!fs::create_directories(dir, ec)) {
        return Fail(error, "cannot create " + dir.string() + ": " + ec.message());
    }

    DriveFolderLock lock(dir);
    if (!lock.ok()) return Fail(error, lock.error());
    LoadedDrive drive;
    DriveState& s = drive.state;
    s.generation = setup.generation;
    s.chipName = chip;
    s.flashSize = flashSize;
    s.diskSerial = setup.diskSerial;
    s.diskBlocks = setup.diskBlocks;
    s.restartDelayMs = setup.restartDelayMs;
    s.busyReads = setup.busyReads;
    s.readyWithoutSwitch = setup.readyWithoutSwitch;
    drive.flash = setup.flash.empty() ? std::vector<std::uint8_t>(flashSize, 0xFF) : setup.flash;
    drive.flashChanged = true;
    BridgeChip(drive, clock.NowMs()).Start(false);
    return SaveDrive(dir, drive, error);
}

bool SetEmulatedDriveFault(const fs::path& dir, const EmulatedFault& fault, std::string* error) {
    using Kind = EmulatedFault::Kind;
    if ((fault.kind == Kind::FailCommand || fault.kind == Kind::FailKind ||
         fault.kind == Kind::PullCable) &&
        fault.count == 0) {
        return Fail(error, "the count starts at 1 (the next command)");
    }
    return UpdateDrive(
        dir,
        [&](LoadedDrive& drive) {
            DriveState& s = drive.state;
            DriveFaults& f = s.faults;
            switch (fault.kind) {
                case Kind::FailCommand:
                    f.failCommandAt = s.commandsTotal + fault.count;
                    break;
                case Kind::FailKind:
                    f.failKind = fault.code;
                    f.failKindFrom = fault.count;
                    f.failKindSeen = 0;
                    break;
                case Kind::CorruptRead:
                    if (fault.address >= s.flashSize) {
                        return Fail(error, "flash address " + std::to_string(fault.address) +
                                               " is beyond the flash");
                    }
                    f.corruptReadAddress = fault.address;
                    break;
                case Kind::StayBusy:
                    f.stayBusy = true;
                    break;
                case Kind::RefuseUpdateMode:
                    f.refuseUpdateMode = true;
                    break;
                case Kind::NoReturn:
                    f.noReturn = true;
                    break;
                case Kind::PullCable:
                    f.pullCableAt = s.commandsTotal + fault.count;
                    break;
            }
            return true;
        },
        error);
}

bool ClearEmulatedDriveFaults(const fs::path& dir, std::string* error) {
    return UpdateDrive(
        dir,
        [](LoadedDrive& drive) {
            drive.state.faults = DriveFaults{};
            return true;
        },
        error);
}

bool PowerCycleEmulatedDrive(const fs::path& dir, EmulatorClock& clock, std::string* error) {
    return UpdateDrive(
        dir,
        [&](LoadedDrive& drive) {
            BridgeChip(drive, clock.NowMs()).PowerCycle();
            return true;
        },
        error);
}

std::optional<EmulatedDriveView> InspectEmulatedDrive(const fs::path& dir, EmulatorClock& clock,
                                                      std::string* error) {
    EmulatedDriveView view;
    bool ok = UpdateDrive(
        dir,
        [&](LoadedDrive& drive) {
            BridgeChip(drive, clock.NowMs()).Settle();
            const DriveState& s = drive.state;
            view.generation = s.generation;
            view.chipName = s.chipName;
            view.flashSize = s.flashSize;
            view.diskSerial = s.diskSerial;
            view.diskBlocks = s.diskBlocks;
            view.bus = s.bus;
            view.returnAtMs = s.returnAtMs;
            view.absentReason = s.absentReason;
            view.loader = s.loader;
            view.usb = s.usb;
            view.versionBlock = s.versionBlock;
            view.firmwareVersion = EmulatedVersionText(s.versionBlock);
            view.inquiry = s.inquiry;
            view.logicalBlockLength = s.blockLength;
            view.logicalBlocks = s.diskBlocks / (s.blockLength / 512);
            view.nextBlockLength = StoredBlockLength(s.generation, drive.flash);
            view.updateModeSelected = s.updateModeSelected;
            view.busyReadsLeft = s.busyLeft;
            view.flashParameters = s.flashParameters;
            view.commandsTotal = s.commandsTotal;
            view.faults = DescribeFaults(s);
            view.flashReport = AnalyseFlash(s.generation, drive.flash);
            view.flash = drive.flash;
            return true;
        },
        error);
    if (!ok) return std::nullopt;
    return view;
}

std::string EmulatedVersionText(const std::array<std::uint8_t, 8>& b) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "V%02dL%02dR%02d", b[2], b[4], b[6]);
    std::string text = buf;
    if (b[1] != 0) {
        std::snprintf(buf, sizeof buf, "-%d:%d", b[1], b[0]);
        text += buf;
    } else if (b[0] != 0) {
        std::snprintf(buf, sizeof buf, "-%d", b[0]);
        text += buf;
    }
    if (b[7] != 0) {
        std::snprintf(buf, sizeof buf, " Beta%d", b[7]);
        text += buf;
    }
    return text;
}

}  // namespace mox3
