// The emulator's pass-through backend: emulated drives opened by folder, each request taken
// under the folder's lock and answered by the bridge chip and the disk medium.
// Size: the folder lock, the faults and the latency model wrap every request and share state.
#include "emulator/emulator_backend.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "base/text.h"
#include "bridge/vendor_commands.h"
#include "emulator/bridge_chip.h"
#include "emulator/disk_medium.h"
#include "emulator/drive_state.h"
#include "emulator/flash_layout.h"
#include "platform/output_file.h"

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
          clock_(std::move(clock)),
          identity_(EmulatedNodeIdentity(name_)) {}

    bool Send(const ScsiRequest& request, ScsiReply& reply) override {
        bool delivered = false;
        ScsiReply answer;
        EmulatedLatency latency;
        std::uint32_t programmed = 0;
        std::string why;
        bool saved = UpdateDrive(
            dir_,
            [&](LoadedDrive& drive) {
                BridgeChip chip(drive, clock_->NowMs());
                delivered = chip.Execute(session_, request, answer);
                programmed = chip.programmedBytes();
                latency = drive.state.latency;
                return true;
            },
            &why);
        if (!saved || !delivered) {
            lastError_ = !saved ? why : "the emulated drive is not on the bus";
            return false;
        }
        if (latency.on()) {
            // The clock counts whole milliseconds: the rest waits for the next request.
            owedUs_ += EmulatedRequestUs(latency, answer.transferred, programmed);
            if (owedUs_ >= 1000) {
                clock_->SleepMs(static_cast<std::uint32_t>(owedUs_ / 1000));
                owedUs_ %= 1000;
            }
        }
        reply = std::move(answer);
        return true;
    }

    std::u16string Name() const override { return name_; }
    std::string LastError() const override { return lastError_; }
    std::optional<std::uint64_t> NodeIdentity() const override { return identity_; }

  private:
    fs::path dir_;
    std::string lastError_;
    std::u16string name_;
    std::uint64_t session_;
    std::shared_ptr<EmulatorClock> clock_;
    std::uint64_t owedUs_ = 0;
    std::optional<std::uint64_t> identity_;  // of the folder when it was opened
};

}  // namespace

std::optional<std::uint64_t> EmulatedNodeIdentity(std::u16string_view path) {
    const EmulatedInterfacePath where = SplitEmulatedInterfacePath(path);
#ifdef _WIN32
    // No inode to tell folders apart: the folder's full name stands for it.
    std::error_code ec;
    const fs::path full = fs::absolute(where.folder, ec).lexically_normal();
    if (ec || !fs::is_directory(full, ec)) return std::nullopt;
    const std::uint64_t id = std::hash<std::wstring>{}(full.wstring());
#else
    struct stat st {};
    if (::stat(where.folder.c_str(), &st) != 0) return std::nullopt;
    const std::uint64_t id = static_cast<std::uint64_t>(st.st_ino);
#endif
    return id << 1 | (where.cdrom ? 1u : 0u);
}

namespace {

class EmulatorBackend : public PassThroughBackend {
  public:
    explicit EmulatorBackend(std::shared_ptr<EmulatorClock> clock) : clock_(std::move(clock)) {}

    std::unique_ptr<PassThroughDevice> Open(std::u16string_view path, std::string* error) override {
        const EmulatedInterfacePath where = SplitEmulatedInterfacePath(path);
        const fs::path& dir = where.folder;
        if (!IsEmulatedDriveFolder(dir)) {
            Fail(error, dir.string() + " is not an emulated drive");
            return nullptr;
        }
        std::uint64_t session = 0;
        std::string refusal;
        std::string why;
        bool ok = UpdateDrive(
            dir,
            [&](LoadedDrive& drive) {
                BridgeChip chip(drive, clock_->NowMs());
                chip.Settle();
                const DriveState& s = drive.state;
                if (!s.tree.attached) {
                    refusal = "the drive is unplugged";
                } else if (!chip.Present()) {
                    refusal = "the drive is off the bus (" + s.absentReason + ")";
                } else if (where.cdrom && !s.tree.cdrom) {
                    refusal = "the drive has no CD-ROM interface";
                } else if (s.tree.refuseOpen) {
                    refusal = "access denied";
                } else {
                    session = s.session;
                }
                return true;
            },
            &why);
        if (!ok) {
            Fail(error, why);
            return nullptr;
        }
        if (session == 0) {
            Fail(error, dir.string() + ": " + refusal);
            return nullptr;
        }
        return std::make_unique<EmulatedDevice>(dir, std::u16string(path), session, clock_);
    }

  private:
    std::shared_ptr<EmulatorClock> clock_;
};

// A missing or empty folder for a new device.
bool PrepareNewFolder(const fs::path& dir, std::string* error) {
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
    return true;
}

// INQUIRY text fields are printable ASCII padded with blanks.
void PutInquiryText(std::array<std::uint8_t, 36>& inquiry, std::size_t offset, std::size_t size,
                    std::u16string_view text) {
    for (std::size_t i = 0; i < size; ++i) {
        char16_t c = i < text.size() ? text[i] : u' ';
        inquiry[offset + i] = c >= 0x20 && c < 0x7F ? static_cast<std::uint8_t>(c) : '_';
    }
}

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
    if (f.unsteadyReadAddress) {
        out.push_back("invert the byte at flash address " + std::to_string(*f.unsteadyReadAddress) +
                      " on every other read" +
                      (f.unsteadyReadTimes == 0 ? std::string()
                                                : ", " + std::to_string(f.unsteadyReadTimes) + " times"));
    }
    if (f.refuseReadBeforeErase) out.push_back("refuse ReadFlash until BeginFlashUpdate");
    if (f.stayBusy) out.push_back("stay busy");
    if (f.refuseUpdateMode) out.push_back("refuse SelectUpdateMode");
    if (f.noReturn) out.push_back("never return after a restart");
    if (f.returnInLoader) out.push_back("come back in the loader after every restart");
    if (f.pullCableAt)
        out.push_back("pull the cable at the command " + ahead(*f.pullCableAt) + " from now");
    return out;
}

}  // namespace

std::uint64_t EmulatedRequestUs(const EmulatedLatency& latency, std::uint64_t bytes,
                                std::uint64_t programmed) {
    const std::uint64_t pages = (programmed + kFlashProgramPage - 1) / kFlashProgramPage;
    return latency.requestUs + (bytes * latency.kibUs + 1023) / 1024 + pages * latency.pageUs;
}

std::shared_ptr<PassThroughBackend> MakeEmulatorBackend(std::shared_ptr<EmulatorClock> clock) {
    return std::make_shared<EmulatorBackend>(std::move(clock));
}

const char* EmulatedPortIdentityName(EmulatedPortIdentity identity) {
    switch (identity) {
        case EmulatedPortIdentity::Full:
            return "full";
        case EmulatedPortIdentity::NoSerial:
            return "no-serial";
        case EmulatedPortIdentity::None:
            return "none";
    }
    return "full";
}

std::optional<EmulatedPortIdentity> EmulatedPortIdentityFromName(std::string_view name) {
    for (auto identity :
         {EmulatedPortIdentity::Full, EmulatedPortIdentity::NoSerial, EmulatedPortIdentity::None}) {
        if (name == EmulatedPortIdentityName(identity)) return identity;
    }
    return std::nullopt;
}

EmulatedInterfacePath SplitEmulatedInterfacePath(std::u16string_view path) {
    EmulatedInterfacePath where;
    if (path.ends_with(kCdRomInterfaceSuffix)) {
        path.remove_suffix(kCdRomInterfaceSuffix.size());
        where.cdrom = true;
    }
    where.folder = fs::path(Utf16ToUtf8(path));
    return where;
}

bool IsEmulatedDevicePath(std::u16string_view path) {
    const EmulatedInterfacePath where = SplitEmulatedInterfacePath(path);
    std::error_code ec;
    return !where.folder.empty() && fs::is_directory(where.folder, ec) &&
           IsEmulatedDriveFolder(where.folder);
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
    if (block.size() != kConfigBlockSize) return fail("the configuration block is not 4096 bytes");
    if (programmedLength == 0) programmedLength = static_cast<std::uint32_t>(firmware.size());
    const std::uint64_t length = (std::uint64_t{programmedLength} + kPage - 1) / kPage * kPage;
    if (firmwareAddress < blockAddress + kConfigBlockSize &&
        firmwareAddress + length > blockAddress) {
        return fail("the firmware at " + std::to_string(firmwareAddress) +
                    " overlaps the configuration block");
    }
    if (blockAddress + kConfigBlockSize > flashSize || firmwareAddress + length > flashSize) {
        return fail("the firmware (" + std::to_string(length) + " bytes at " +
                    std::to_string(firmwareAddress) + ") does not fit a flash of " +
                    std::to_string(flashSize) + " bytes");
    }
    std::vector<std::uint8_t> flash(flashSize, 0xFF);
    std::copy(block.begin(), block.end(), flash.begin() + blockAddress);
    for (std::uint64_t i = 0; i < length; ++i) {
        flash[static_cast<std::size_t>(firmwareAddress + i)] =
            i < firmware.size() ? firmware[static_cast<std::size_t>(i)] : 0;
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

    if (!PrepareNewFolder(dir, error)) return false;
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
    s.latency = setup.latency;
    drive.dir = dir;
    drive.flash = setup.flash.empty() ? std::vector<std::uint8_t>(flashSize, 0xFF) : setup.flash;
    drive.flashChanged = true;
    BridgeChip(drive, clock.NowMs()).Start(false);
    return DiskMedium(dir / kMediumFileName, s.diskBlocks * 512).Create(error) &&
           SaveDrive(dir, drive, error);
}

bool CreateEmulatedDisk(const fs::path& dir, const EmulatedDiskSetup& setup, EmulatorClock& clock,
                        std::string* error) {
    if (setup.blockLength != 512 && setup.blockLength != 4096) {
        return Fail(error, "the logical-block length must be 512 or 4096");
    }
    if (!PrepareNewFolder(dir, error)) return false;
    DriveFolderLock lock(dir);
    if (!lock.ok()) return Fail(error, lock.error());
    LoadedDrive drive;
    DriveState& s = drive.state;
    s.kind = DeviceKind::PlainDisk;
    s.loader = false;
    s.diskBlocks = setup.diskBlocks;
    s.usb.vendorId = setup.vendorId;
    s.usb.productId = setup.productId;
    s.usb.bcdDevice = setup.bcdDevice;
    s.usb.manufacturer = setup.manufacturer;
    s.usb.product = setup.product;
    s.usb.serialNumber = setup.serialNumber;
    s.inquiry[2] = 0x06;  // SPC-4
    s.inquiry[3] = 0x02;  // response data format
    s.inquiry[4] = 31;    // additional length
    PutInquiryText(s.inquiry, 8, 8, setup.manufacturer);
    PutInquiryText(s.inquiry, 16, 16, setup.product);
    PutInquiryText(s.inquiry, 32, 4, u"0001");
    s.blockLength = setup.blockLength;
    s.latency = setup.latency;
    drive.dir = dir;
    BridgeChip(drive, clock.NowMs()).Start(false);
    return DiskMedium(dir / kMediumFileName, s.diskBlocks * 512).Create(error) &&
           SaveDrive(dir, drive, error);
}

bool ChangeEmulatedTreeSettings(const fs::path& dir,
                                const std::function<void(EmulatedTreeSettings&)>& edit,
                                EmulatorClock& clock, std::string* error) {
    return UpdateDrive(
        dir,
        [&](LoadedDrive& drive) {
            EmulatedTreeSettings& t = drive.state.tree;
            const EmulatedTreeSettings before = t;
            edit(t);
            if (t.usbLevels < 1 || t.usbLevels > 3) return Fail(error, "levels are 1, 2 or 3");
            const bool moved = t.cdrom != before.cdrom || t.usbLevels != before.usbLevels ||
                               t.composite != before.composite ||
                               t.lowerCaseIds != before.lowerCaseIds;
            if (!moved && t.attached == before.attached) return true;
            // Unplugged, plugged in again or plugged in elsewhere: a new session on the bus.
            BridgeChip chip(drive, clock.NowMs());
            if (t.attached) {
                chip.PowerCycle();
            } else {
                ++drive.state.session;
            }
            return true;
        },
        error);
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
                    f.failKindTimes = fault.times;
                    break;
                case Kind::CorruptRead:
                    if (fault.address >= s.flashSize) {
                        return Fail(error, "flash address " + std::to_string(fault.address) +
                                               " is beyond the flash");
                    }
                    f.corruptReadAddress = fault.address;
                    break;
                case Kind::UnsteadyRead:
                    if (fault.address >= s.flashSize) {
                        return Fail(error, "flash address " + std::to_string(fault.address) +
                                               " is beyond the flash");
                    }
                    f.unsteadyReadAddress = fault.address;
                    f.unsteadyReadTimes = fault.times;
                    f.unsteadyReadsSeen = 0;
                    break;
                case Kind::RefuseReadBeforeErase:
                    f.refuseReadBeforeErase = true;
                    break;
                case Kind::StayBusy:
                    f.stayBusy = true;
                    break;
                case Kind::RefuseUpdateMode:
                    f.refuseUpdateMode = true;
                    break;
                case Kind::ReturnInLoader:
                    f.returnInLoader = true;
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

bool SetEmulatedDriveLatency(const fs::path& dir, const EmulatedLatency& latency,
                             std::string* error) {
    return UpdateDrive(
        dir,
        [&](LoadedDrive& drive) {
            drive.state.latency = latency;
            return true;
        },
        error);
}

namespace {

// Runs `use` on the disk of the drive in `dir`, with the folder locked.
bool WithMedium(const fs::path& dir, const std::function<bool(const DiskMedium&)>& use,
                std::string* error) {
    if (!IsEmulatedDriveFolder(dir)) return Fail(error, dir.string() + " is not an emulated drive");
    DriveFolderLock lock(dir);
    if (!lock.ok()) return Fail(error, lock.error());
    auto state = LoadDriveState(dir, error);
    if (!state) return false;
    return use(DiskMedium(dir / kMediumFileName, state->diskBlocks * 512));
}

constexpr std::size_t kCopyChunk = 1024 * 1024;

}  // namespace

namespace {

std::uint64_t TotalLength(const std::vector<MediumExtent>& extents) {
    std::uint64_t total = 0;
    for (const MediumExtent& e : extents) total += e.length;
    return total;
}

// The parts of [from, to) that none of `extents` (in order) covers.
std::vector<MediumExtent> Gaps(const std::vector<MediumExtent>& extents, std::uint64_t from,
                               std::uint64_t to) {
    std::vector<MediumExtent> gaps;
    std::uint64_t at = from;
    for (const MediumExtent& e : extents) {
        if (e.offset > at) gaps.push_back({at, std::min(e.offset, to) - at});
        at = std::max(at, e.offset + e.length);
        if (at >= to) break;
    }
    if (at < to) gaps.push_back({at, to - at});
    return gaps;
}

bool AllZero(std::span<const std::uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Whether any of `extents` has a byte in [from, from + length).
bool Overlaps(const std::vector<MediumExtent>& extents, std::uint64_t from, std::uint64_t length) {
    return std::any_of(extents.begin(), extents.end(), [&](const MediumExtent& e) {
        return e.offset < from + length && from < e.offset + e.length;
    });
}

}  // namespace

bool ImportEmulatedMedium(const fs::path& dir, const fs::path& file, std::uint64_t offset,
                          std::string* error, const MediumProgress& progress) {
    std::error_code ec;
    // A FIFO, a device or a folder has no size and is never read: it could keep the copy
    // waiting for ever.
    if (!fs::is_regular_file(file, ec)) {
        return Fail(error, "cannot read " + file.string() + ": " +
                               (fs::exists(file, ec) ? "not a regular file" : "there is no such file"));
    }
    const std::uint64_t length = fs::file_size(file, ec);
    if (ec) return Fail(error, "cannot read " + file.string() + ": " + ec.message());
    return WithMedium(
        dir,
        [&](const DiskMedium& medium) {
            if (offset > medium.size() || length > medium.size() - offset) {
                return Fail(error, file.string() + " (" + std::to_string(length) +
                                       " bytes) does not fit the disk (" +
                                       std::to_string(medium.size()) + " bytes) at offset " +
                                       std::to_string(offset));
            }
            auto data = FileDataExtents(file, length, error);
            if (!data) return false;
            auto held = medium.DataExtents(error);
            if (!held) return false;
            const std::uint64_t total = TotalLength(*data);
            std::uint64_t copied = 0;
            std::ifstream in(file, std::ios::binary);
            if (!in) return Fail(error, "cannot read " + file.string());
            std::vector<std::uint8_t> chunk(kCopyChunk);
            for (const MediumExtent& e : *data) {
                in.seekg(static_cast<std::streamoff>(e.offset));
                for (std::uint64_t done = 0; done < e.length;) {
                    const std::size_t n = static_cast<std::size_t>(
                        std::min<std::uint64_t>(kCopyChunk, e.length - done));
                    in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(n));
                    if (!in) return Fail(error, "cannot read " + file.string());
                    // Zeros where the disk holds zeros already are not written: its holes stay.
                    const std::uint64_t to = offset + e.offset + done;
                    if ((!AllZero({chunk.data(), n}) || Overlaps(*held, to, n)) &&
                        !medium.Write(to, {chunk.data(), n}, error)) {
                        return false;
                    }
                    done += n;
                    copied += n;
                    if (progress) progress(copied, total);
                }
            }
            // Where the file has holes the disk gets zeros: written only where the disk holds
            // data there, so that its own holes stay holes.
            std::fill(chunk.begin(), chunk.end(), 0);
            for (const MediumExtent& hole : Gaps(*data, 0, length)) {
                const std::uint64_t from = offset + hole.offset, to = from + hole.length;
                for (const MediumExtent& h : *held) {
                    std::uint64_t at = std::max(from, h.offset);
                    const std::uint64_t end = std::min(to, h.offset + h.length);
                    while (at < end) {
                        const std::size_t n =
                            static_cast<std::size_t>(std::min<std::uint64_t>(kCopyChunk, end - at));
                        if (!medium.Write(at, {chunk.data(), n}, error)) return false;
                        at += n;
                    }
                }
            }
            return true;
        },
        error);
}

bool ExportEmulatedMedium(const fs::path& dir, const fs::path& file, std::uint64_t offset,
                          std::optional<std::uint64_t> length, std::string* error,
                          const MediumProgress& progress) {
    return WithMedium(
        dir,
        [&](const DiskMedium& medium) {
            if (offset > medium.size() || (length && *length > medium.size() - offset)) {
                return Fail(
                    error,
                    "the disk holds " + std::to_string(medium.size()) +
                        " bytes: nothing to export at offset " + std::to_string(offset) +
                        (length ? " for " + std::to_string(*length) + " bytes" : std::string()));
            }
            const std::uint64_t end = length ? offset + *length : medium.size();
            auto extents = medium.DataExtents(error);
            if (!extents) return false;
            std::vector<MediumExtent> wanted;
            for (const MediumExtent& e : *extents) {
                const std::uint64_t from = std::max(offset, e.offset);
                const std::uint64_t to = std::min(end, e.offset + e.length);
                if (from < to) wanted.push_back({from, to - from});
            }
            // The file gets its length first, then only the parts that may hold data: the
            // rest stays a hole of zeros.
            OutputFile out(file);
            if (!out.Open(error) || !out.Resize(end - offset, error)) return false;
            const std::uint64_t total = TotalLength(wanted);
            std::uint64_t copied = 0;
            std::vector<std::uint8_t> chunk(kCopyChunk);
            for (const MediumExtent& e : wanted) {
                for (std::uint64_t at = e.offset; at < e.offset + e.length;) {
                    const std::size_t n = static_cast<std::size_t>(
                        std::min<std::uint64_t>(kCopyChunk, e.offset + e.length - at));
                    if (!medium.Read(at, {chunk.data(), n}, error)) return false;
                    // The new file holds zeros already: they stay a hole.
                    if (!AllZero({chunk.data(), n}) && !out.WriteAt(at - offset, chunk.data(), n, error)) {
                        return false;
                    }
                    at += n;
                    copied += n;
                    if (progress) progress(copied, total);
                }
            }
            return out.Commit(error);
        },
        error);
}

std::optional<std::string> EmulatedMediumDigest(const fs::path& dir, std::string* error) {
    std::optional<std::string> digest;
    WithMedium(
        dir,
        [&](const DiskMedium& medium) {
            digest = medium.Digest(error);
            return digest.has_value();
        },
        error);
    return digest;
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
            view.plainDisk = s.kind == DeviceKind::PlainDisk;
            view.session = s.session;
            view.tree = s.tree;
            view.generation = s.generation;
            view.chipName = s.chipName;
            view.flashSize = s.flashSize;
            view.diskSerial = s.diskSerial;
            view.diskBlocks = s.diskBlocks;
            view.mediumBytes = s.diskBlocks * 512;
            view.latency = s.latency;
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
            view.nextBlockLength =
                view.plainDisk ? s.blockLength : StoredBlockLength(s.generation, drive.flash);
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
    return Utf16ToUtf8(FirmwareVersionText(b.data()));
}

}  // namespace mox3
