// The bridge device manager: buffers, settings and the chip profile of one update context.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/finding.h"
#include "config/compile_input.h"
#include "config/config_items.h"
#include "discovery/device_access.h"
#include "discovery/device_tree.h"
#include "transport/nt_dev_ctrl.h"

namespace mox3 {

inline constexpr std::size_t kScratchBufferSize = 2u * 1024u * 1024u;
inline constexpr std::size_t kImageBufferSize = 1024u * 1024u;
// The compiled configuration block occupies imageBuffer[0, kConfigBlockSize); the image file
// follows at kImageOffset.

// The device table.
inline constexpr int kDeviceSlots = 99;
inline constexpr int ALL_DEVICES = 99;  // EnumerateDevices: rebuild the whole table
inline constexpr std::size_t kMaxPaths = 10;

// One attached drive.
struct DeviceRecord {
    DevNode usbNode = kNoNode;  // the drive's USB device; every interface of it is in this record
    // Interface paths in the order found; entry 0 receives every vendor command.
    std::array<std::u16string, kMaxPaths> interfacePath;
    std::u16string firmwareVersion;  // empty when not read
    std::u16string vendorIdText;     // "0x%04X"
    std::u16string productIdText;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::u16string manufacturer;
    std::u16string product;
    std::u16string serialNumber;
    std::int32_t normalMode = 0;       // 1: normal firmware; 0: the update loader
    std::int32_t statusMaskClear = 0;  // 1: status bits 4 and 5 clear
    std::int32_t prepareState = 0;
    std::int32_t modeSwitched = 0;
    std::array<std::uint8_t, 7> bridgeInfo{};  // first byte 0xFF when not read
    std::array<std::uint32_t, kMaxPaths> deviceNumber{};
    std::array<std::int32_t, kMaxPaths> lun{};  // DeviceTree::LogicalUnit
    std::array<std::int64_t, kMaxPaths> diskLength{};
    // Which node each path named when it was listed (DeviceTree::NodeIdentity); an open of the
    // path must find the same node (OpenListedPath). Nothing when the tree could not tell.
    std::array<std::optional<std::uint64_t>, kMaxPaths> nodeIdentity{};
    // Where the drive's USB device is plugged in (DeviceTree::UsbPort); empty when unknown.
    std::u16string usbPort;
    std::array<std::array<std::uint8_t, 36>, kMaxPaths> inquiry{};
    std::uint32_t pathCount = 0;  // 0: the slot is empty
};

// Opens path `k` of a listed drive and makes sure the node opened is the node listed: a path
// names whatever device holds the name when it is opened. False (nothing left open) when the
// path does not open or another node answers to it now.
bool OpenListedPath(const DeviceAccess& devices, CNtDevCtrl& handle, const DeviceRecord& record,
                    std::size_t k = 0);

class CBridgeMgr;
using LoadFirmwareImageFn = int (*)(CBridgeMgr& mgr);
using CompileConfigBlockFn = int (*)(CBridgeMgr& mgr, int deviceIndex);
using CheckConfigHeaderFn = int (*)(CBridgeMgr& mgr);

// Chip kinds.
inline constexpr int kChipFirstGeneration = 1;
inline constexpr int kChipSecondGeneration = 2;

class CBridgeMgr {
  public:
    // A manager that lists and opens drives through `devices` and waits on `clock`.
    CBridgeMgr(DeviceAccess devices, std::shared_ptr<Clock> clock);
    // One that finds no drive and has nothing to wait for (the compilers, the image checks).
    CBridgeMgr() : CBridgeMgr({}, nullptr) {}
    virtual ~CBridgeMgr() = default;
    CBridgeMgr(const CBridgeMgr&) = delete;
    CBridgeMgr& operator=(const CBridgeMgr&) = delete;

    // Item lookups over the profile's item table: the first item with exactly this section
    // and key and a non-empty value.
    std::uint32_t GetItemInt(std::u16string_view section, std::u16string_view key,
                             std::uint32_t defaultValue) const;
    std::size_t GetItemString(std::u16string_view section, std::u16string_view key,
                              std::u16string_view defaultValue, std::u16string& out,
                              std::size_t capacity) const;
    // The presence probe: 1 when the key has a non-empty value.
    std::size_t ProbeItem(std::u16string_view section, std::u16string_view key) const;
    // The value text of the qualifying item, or nullptr.
    const std::u16string* FindItemValue(std::u16string_view section, std::u16string_view key) const;
    // The same lookups on their own, for the configuration compilers.
    ItemValues Items() const;

    // Fills the device table (ALL_DEVICES) or refreshes one slot. Returns deviceCount, or the
    // slot's pathCount.
    int EnumerateDevices(int target);
    // 1: first generation, 2: second generation, -1: not handled.
    int IdentifyChip(int slot);

    // Reads the version trailer of an image file opened "rb"; closes the file. Returns 1.
    int ReadImageVersion(std::FILE* file, std::u16string& text, int chipKind) const;

    // Buffers.
    std::vector<std::uint8_t> scratchBuffer;
    std::vector<std::uint8_t> imageBuffer;
    std::u16string scratchText;
    // What the bridge said after the last failed flash command; never shown to the user.
    std::u16string diagnosticText;
    // Every wait of the manager's operations.
    std::shared_ptr<Clock> clock;
    // What drives are listed and opened through.
    DeviceAccess devices;

    // Paths of the image file and the configuration file of the current programming.
    std::u16string firmwarePath;
    std::u16string configPath;
    // When set, the configuration file's bytes as the run wrote and checked them: these are
    // compiled, not whatever the file at configPath holds by then.
    std::optional<std::vector<std::uint8_t>> configBytes;

    // Each wait of the switch and the programming as it passes: what is waited for, the pass
    // (from 1; 0 outside the passes), the time waited so far and the wait's bound. False stops
    // the operation there, where nothing is being written: `stopped` is then set.
    enum class WaitFor {
        kErasing,       // the bridge busy erasing, polled
        kLoaderReturn,  // the bridge restarting into its loader
        kNextTry,       // the pause between tries of the programming
    };
    struct Wait {
        WaitFor what;
        std::uint32_t pass;
        std::uint32_t waitedMs;
        std::uint32_t boundMs;
    };
    std::function<bool(const Wait&)> onWait;
    bool stopped = false;
    // Why the last wait of the programming gave up; empty when none did.
    std::optional<Told> waitProblem;

    // Programming settings.
    std::uint32_t restartAfterProgramming = 1;
    std::uint32_t restartWaitSeconds = 15;
    std::uint32_t pollLimit = 600;
    std::uint32_t attemptLimit = 10;

    // Working fields of the image loader and the configuration compilers.
    std::uint32_t firmwareAddress = 0;
    std::uint32_t firmwareLength = 0;
    std::array<std::uint8_t, 8> flashParameters{};
    std::u16string firmwareVersionText;
    std::u16string configNameText;
    std::uint32_t bcdUsbOverride = 0;
    // Why the last compile stopped: section, key and value. Never shown by the dialog.
    std::string compileError;
    // The values the last build of the configuration block took only in part: its header
    // check, item load and compile (BuildConfigBlock gathers them).
    std::vector<CompileWarning> compileWarnings;
    // Why the last image load failed.
    std::optional<Told> imageProblem;

    // When not empty, enumerations list only the drive plugged in at this USB port: a run
    // bound to one drive sends nothing to any other, and takes no other drive for it.
    std::u16string boundPort;

    // The device table: kDeviceSlots records, slots 0 to deviceCount - 1 in use.
    std::vector<DeviceRecord> deviceTable;
    std::uint32_t deviceCount = 0;

    // Chip profile.
    std::uint32_t configBlockAddress = 0;
    std::uint32_t itemCount = 0;
    std::uint32_t serialItemIndex = 0;
    ConfigItem* itemTable = nullptr;
    ItemTableKind itemKind = ItemTableKind::FirstGeneration;
    // Points itemTable at a copy of the chip's item table, which this manager alone fills with
    // values (drives updated at once compile side by side).
    void UseItemTable(ItemTableKind kind);
    std::vector<ConfigItem> itemStorage;
    LoadFirmwareImageFn LoadFirmwareImage = nullptr;
    CompileConfigBlockFn CompileConfigBlock = nullptr;
    CheckConfigHeaderFn CheckConfigHeader = nullptr;
};

}  // namespace mox3
