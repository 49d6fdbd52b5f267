// The emulated drive's plain types and constants: what a drive is made of, how it is set up,
// its faults and latency, and what a host could learn about it. The functions that act on a
// drive's folder are in emulator_backend.h; the parts of the drive build on these types.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "config/block_layout.h"
#include "discovery/drive_models.h"

namespace mox3 {

// Time as the emulated drive sees it: the host's clock, so that a host waiting on a
// ManualClock sees a restarting drive come back. A restarting drive stores the moment it
// returns, so every process that uses one drive must use the same kind of clock (the system
// clock counts wall-clock milliseconds).
using EmulatorClock = Clock;

// A folder that holds an emulated device: a bridge drive or a plain disk.
bool IsEmulatedDriveFolder(const std::filesystem::path& dir);

inline constexpr const char* kFirstGenerationChipName = "MB86C30A";
inline constexpr const char* kSecondGenerationChipName = "MB86C311A";


// Flash address of the configuration block.
std::uint32_t EmulatedBlockAddress(int generation);

// What the emulator adds to the time of each request, as a real drive on a USB 2.0
// high-speed bus takes it; all zero (the default): requests take no time. The time passes on
// the clock the drive was opened with, after the request has run.
struct EmulatedLatency {
    std::uint32_t requestUs = 0;  // a request's round trip: command, status, the host's turn
    std::uint32_t kibUs = 0;      // each KiB of data moved
    std::uint32_t pageUs = 0;     // each 256-byte page the flash programs
    bool on() const { return requestUs != 0 || kibUs != 0 || pageUs != 0; }
    bool operator==(const EmulatedLatency&) const = default;
};
// Typical figures: 0.5 ms for a command's round trip through the Bulk-Only Transport, 40 MB/s
// of bulk data, and 0.7 ms to program a 256-byte page of a serial NOR flash.
inline constexpr EmulatedLatency kTypicalLatency{500, 25, 700};
inline constexpr std::uint32_t kFlashProgramPage = 256;
// The microseconds one request takes: `bytes` of data moved, `programmed` flash bytes.
std::uint64_t EmulatedRequestUs(const EmulatedLatency& latency, std::uint64_t bytes,
                                std::uint64_t programmed);

struct EmulatedDriveSetup {
    int generation = 2;
    std::string chipName;         // empty: MB86C30A or MB86C311A
    std::uint32_t flashSize = 0;  // 0: 64 KiB (first generation) or 256 KiB (second)
    std::string diskSerial = "EMULATED-DISK-0001";
    std::uint64_t diskBlocks = 3907029168ull;  // in 512-byte units
    std::uint32_t restartDelayMs = 3000;       // off the bus after RestartBridge
    std::uint32_t busyReads = 3;               // status reads that report busy after an erase
    bool readyWithoutSwitch = false;           // status bit 6: flash commands without the loader
    EmulatedLatency latency;
    // The flash as it leaves the factory; empty means erased. Otherwise flashSize bytes
    // (after the default is applied).
    std::vector<std::uint8_t> flash;
};

// A USB disk that is no bridge of the family: it answers INQUIRY and READ CAPACITY and rejects
// every vendor command. Its USB identity is fixed when it is made.
struct EmulatedDiskSetup {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t bcdDevice = 0x0100;
    std::u16string manufacturer = u"Generic";
    std::u16string product = u"USB Disk";
    std::u16string serialNumber;               // empty: the device has no serial number
    std::uint64_t diskBlocks = 3907029168ull;  // in 512-byte units
    std::uint32_t blockLength = 512;           // 512 or 4096
    EmulatedLatency latency;
};

// What the hub port reports of the device: everything, everything but the serial number (its
// string request fails), or nothing (the port is not found).
enum class EmulatedPortIdentity { Full, NoSerial, None };
// Their names: "full", "no-serial", "none".
const char* EmulatedPortIdentityName(EmulatedPortIdentity identity);
std::optional<EmulatedPortIdentity> EmulatedPortIdentityFromName(std::string_view name);

// Where the device sits in the host's device tree and how the host's queries on it go; kept
// with the device (see emulator_tree.h for the nodes and ids this gives).
struct EmulatedTreeSettings {
    bool attached = true;  // false: unplugged, nowhere in the tree
    bool cdrom = false;    // a CD-ROM interface beside the disk interface, on the same bridge
    // How many nodes above the interfaces' nodes the USB device sits: 1, 2 or 3.
    int usbLevels = 1;
    // With 2 or 3 levels, whether the node right below the USB device is the device's USB
    // interface node ("...&MI_00"); other nodes in between have ids that match nothing.
    bool composite = true;
    EmulatedPortIdentity portIdentity = EmulatedPortIdentity::Full;
    bool lowerCaseIds = false;         // the USB device's ids written in lower case
    std::uint8_t busType = 7;          // what the storage adapter query reports (7: USB)
    bool refuseOpen = false;           // opening an interface fails, as without the right to
    bool deviceNumberFails = false;    // the storage device number query fails
    std::uint32_t installPending = 0;  // install-state reads of a new interface node that
                                       // report the installation still running
};

struct EmulatedFault {
    enum class Kind {
        FailCommand,       // the count-th command from now fails
        FailKind,          // every command of `code` fails, from its count-th from now on
        CorruptRead,       // ReadFlash returns the byte at `address` altered
        UnsteadyRead,      // every other ReadFlash of `address` alters its byte, `times` times
        RefuseReadBeforeErase,  // ReadFlash is refused until BeginFlashUpdate since the start
        StayBusy,          // status bit 7 never clears
        RefuseUpdateMode,  // SelectUpdateMode is refused
        NoReturn,          // after RestartBridge the drive stays away until a power cycle
        ReturnInLoader,    // every restart ends in the loader, whatever the flash holds
        PullCable,         // the count-th command from now never arrives: the drive is gone
    };
    Kind kind = Kind::FailCommand;
    std::uint64_t count = 1;    // 1 = the next one
    std::uint8_t code = 0;      // function code of a vendor command, or a SCSI opcode
    std::uint32_t address = 0;  // flash address
    std::uint64_t times = 0;    // FailKind, UnsteadyRead: how many; 0: every one from then on
};

// The file of a device's folder that holds its disk's bytes.
inline constexpr const char* kEmulatedMediumFile = "disk.img";

enum class EmulatedBus { Present, Restarting, Absent };
// "present", "restarting", "absent".
const char* EmulatedBusName(EmulatedBus bus);

struct EmulatedUsbIdentity {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t bcdDevice = 0;
    std::u16string manufacturer;
    std::u16string product;
    std::u16string serialNumber;
};

// What the flash holds, as the bridge checks it when it starts.
struct EmulatedFlashReport {
    std::uint32_t blockAddress = 0;
    bool blockErased = false;
    bool blockSealed = false;  // the block's digest header holds
    std::uint32_t firmwareAddress = 0;
    bool firmwareAddressValid = false;
    bool firmwareErased = false;
    bool firmwareIntact = false;  // the image's digest header holds within the flash
    bool versionFound = false;    // a version trailer after the image's body
    std::array<std::uint8_t, 8> versionBlock{};
    bool normalFirmware() const { return blockSealed && firmwareIntact; }
};

// Everything a host could learn about the drive now, and what its flash holds.
struct EmulatedDriveView {
    bool plainDisk = false;  // no bridge: no flash, no vendor commands, a fixed identity
    int generation = 0;
    std::string chipName;
    std::uint32_t flashSize = 0;
    std::string diskSerial;
    std::uint64_t diskBlocks = 0;   // 512-byte units
    std::uint64_t mediumBytes = 0;  // the disk's bytes: diskBlocks * 512
    EmulatedLatency latency;

    EmulatedBus bus = EmulatedBus::Present;
    std::uint64_t returnAtMs = 0;  // when restarting
    std::string absentReason;      // "cable pulled", "no return after restart"
    std::uint64_t session = 0;     // counts departures from the bus
    EmulatedTreeSettings tree;

    // As presented since the bridge last started.
    bool loader = false;
    EmulatedUsbIdentity usb;
    std::array<std::uint8_t, 8> versionBlock{};
    std::string firmwareVersion;  // as the device enumeration writes it
    std::array<std::uint8_t, 36> inquiry{};
    std::uint32_t logicalBlockLength = 512;
    std::uint64_t logicalBlocks = 0;
    std::uint32_t nextBlockLength = 512;  // what the next start will use

    bool updateModeSelected = false;
    std::uint32_t busyReadsLeft = 0;
    std::optional<std::array<std::uint8_t, 8>> flashParameters;
    std::uint64_t commandsTotal = 0;  // every command that reached the drive
    std::vector<std::string> faults;  // readable descriptions of the faults set

    EmulatedFlashReport flashReport;
    std::vector<std::uint8_t> flash;
};

}  // namespace mox3
