// The emulated bridge drive: a USB-to-SATA bridge of either generation with its serial flash
// and an attached disk, kept in a folder so that any number of processes can use it in turn.
// The same folders also hold plain USB disks without such a bridge.
//
// The folder holds `drive.state` (key=value text), the flash contents `flash-N.bin` that the
// state names, and `drive.lock`. Every request locks the folder, loads the drive, runs the
// request as the chip would and commits the result by renaming a new state file into place.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "emulator/emulated_drive.h"
#include "transport/passthrough.h"

namespace mox3 {

// Open(path) opens an interface of an emulated device: `path` is the device's folder (its
// disk interface) or the folder followed by "#cdrom" (its CD-ROM interface). It fails when the
// folder holds no emulated device, the device is off the bus (restarting, cable pulled) or
// unplugged, has no such interface, or refuses to be opened. A handle stays bound to the bus
// session it was opened in: once the device has left the bus, Send on it fails for good.
std::shared_ptr<PassThroughBackend> MakeEmulatorBackend(std::shared_ptr<EmulatorClock> clock);

inline constexpr std::u16string_view kCdRomInterfaceSuffix = u"#cdrom";

struct EmulatedInterfacePath {
    std::filesystem::path folder;
    bool cdrom = false;
};
// The device folder an interface path names, and which of its interfaces.
EmulatedInterfacePath SplitEmulatedInterfacePath(std::u16string_view path);
// The node identity of an emulated interface path: its device folder's inode (the folder is
// the emulated device node) with the low bit telling the CD-ROM interface; nothing when the
// folder is missing. A folder put in the place of another has another identity.
std::optional<std::uint64_t> EmulatedNodeIdentity(std::u16string_view path);
// True when `path` is an interface path of an emulated device (whether or not the device
// has that interface now).
bool IsEmulatedDevicePath(std::u16string_view path);

// A flash that holds `block` at the generation's block address and `firmware` at
// `firmwareAddress`, written as the programming sequence writes them: `programmedLength`
// bytes of the image (padded with zeros), rounded up to whole 1024-byte pages. A logical
// block length of 4096 is stored in the block's parameter area. Empty with `error` set when
// the pieces do not fit.
std::vector<std::uint8_t> FactoryFlash(int generation, std::uint32_t flashSize,
                                       std::span<const std::uint8_t> block,
                                       std::uint32_t firmwareAddress,
                                       std::span<const std::uint8_t> firmware,
                                       std::uint32_t programmedLength,
                                       std::uint32_t logicalBlockLength, std::string* error);

// Creates a drive in `dir` (missing or empty) and powers it on.
bool CreateEmulatedDrive(const std::filesystem::path& dir, const EmulatedDriveSetup& setup,
                         EmulatorClock& clock, std::string* error);

// Creates a plain disk in `dir` (missing or empty) and plugs it in.
bool CreateEmulatedDisk(const std::filesystem::path& dir, const EmulatedDiskSetup& setup,
                        EmulatorClock& clock, std::string* error);

// Changes the settings through `edit`. Unplugging, plugging in and any change of where the
// device sits (CD-ROM interface, levels, composite, id case) are a new bus session: handles
// die, and a device that ends up plugged in starts afresh as after a power cycle.
bool ChangeEmulatedTreeSettings(const std::filesystem::path& dir,
                                const std::function<void(EmulatedTreeSettings&)>& edit,
                                EmulatorClock& clock, std::string* error);

bool SetEmulatedDriveFault(const std::filesystem::path& dir, const EmulatedFault& fault,
                           std::string* error);
bool SetEmulatedDriveLatency(const std::filesystem::path& dir, const EmulatedLatency& latency,
                             std::string* error);

// The disk behind a drive (or the plain disk), from outside: `length` bytes at byte `offset`
// copied from or to a file, whatever the logical-block length. The copy goes beyond the end of
// neither. Only the parts that hold data are copied (on Linux the file system tells them):
// an import leaves the disk's holes where the file has holes, and an export writes a sparse
// file, by the output rule (see platform/output_file.h), where the disk holds zeros.
// `progress`, when given, is told the bytes of data copied so far and the bytes to copy.
using MediumProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;
bool ImportEmulatedMedium(const std::filesystem::path& dir, const std::filesystem::path& file,
                          std::uint64_t offset, std::string* error,
                          const MediumProgress& progress = {});
// `length` empty: up to the end of the disk.
bool ExportEmulatedMedium(const std::filesystem::path& dir, const std::filesystem::path& file,
                          std::uint64_t offset, std::optional<std::uint64_t> length,
                          std::string* error, const MediumProgress& progress = {});
// The disk's digest (see disk_medium.h), lower-case hex.
std::optional<std::string> EmulatedMediumDigest(const std::filesystem::path& dir,
                                                std::string* error);
bool ClearEmulatedDriveFaults(const std::filesystem::path& dir, std::string* error);
// Power off and on: the drive returns at once, checks its flash and starts.
bool PowerCycleEmulatedDrive(const std::filesystem::path& dir, EmulatorClock& clock,
                             std::string* error);

std::optional<EmulatedDriveView> InspectEmulatedDrive(const std::filesystem::path& dir,
                                                      EmulatorClock& clock, std::string* error);

// The text the device enumeration makes of a version block: "V%02dL%02dR%02d" and suffixes.
std::string EmulatedVersionText(const std::array<std::uint8_t, 8>& block);

}  // namespace mox3
