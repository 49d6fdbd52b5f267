// Listing the attached bridge drives into the device table.
#include <algorithm>

#include "base/text.h"
#include "bridge/vendor_commands.h"
#include "discovery/bridge_manager.h"
#include "discovery/drive_models.h"

namespace mox3 {

namespace {

constexpr int kInstallLooks = 100;
constexpr std::uint32_t kInstallWaitMs = 100;

void WaitUntilReady(CBridgeMgr& mgr, DeviceTree& tree, DevNode node) {
    for (int look = 0; look < kInstallLooks; ++look) {
        auto ready = tree.Ready(node);
        if (!ready) continue;
        if (*ready) return;
        mgr.clock->SleepMs(kInstallWaitMs);
    }
}

// Records one more path of the record's drive.
void AddPathDetails(DeviceRecord& record, DeviceTree& tree, CNtDevCtrl& handle,
                    const DeviceInterface& iface, std::uint32_t deviceNumber,
                    std::optional<std::uint64_t> identity) {
    const std::uint32_t k = record.pathCount;
    if (k >= kMaxPaths) return;  // a record keeps ten paths; further ones are passed over
    record.deviceNumber[k] = deviceNumber;
    record.nodeIdentity[k] = identity;
    record.diskLength[k] = 0;
    record.interfacePath[k].assign(CutToCapacity(iface.path, kLongTextUnits));
    Inquiry(record.inquiry[k].data(), handle);
    if (record.normalMode == 1) {
        if (auto length = tree.DiskLength(iface.path)) record.diskLength[k] = *length;
    }
    if (auto lun = tree.LogicalUnit(iface.node)) record.lun[k] = *lun;
    ++record.pathCount;
}

std::u16string Short(const std::optional<std::u16string>& text) {
    return std::u16string(CutToCapacity(text.value_or(u""), kShortTextUnits));
}

// The identity of the record's USB device, as its hub's port reports it.
void ReadUsbIdentity(DeviceRecord& record, DeviceTree& tree) {
    auto identity = tree.UsbIdentity(record.usbNode);
    if (!identity) return;
    record.vendorId = identity->vendorId;
    record.productId = identity->productId;
    record.vendorIdText = HexText16(identity->vendorId);
    record.productIdText = HexText16(identity->productId);
    // Strings longer than the record's 64 characters are cut.
    record.manufacturer = Short(identity->manufacturer);
    record.product = Short(identity->product);
    record.serialNumber = Short(identity->serialNumber);
}

}  // namespace

bool OpenListedPath(const DeviceAccess& devices, CNtDevCtrl& handle, const DeviceRecord& record,
                    std::size_t k) {
    if (k >= kMaxPaths || record.interfacePath[k].empty() || !devices.backend) return false;
    if (!handle.Open(*devices.backend, record.interfacePath[k])) return false;
    if (record.nodeIdentity[k] && handle.NodeIdentity() != record.nodeIdentity[k]) {
        handle.Close();
        return false;
    }
    return true;
}

int CBridgeMgr::EnumerateDevices(int target) {
    const bool full = target == ALL_DEVICES;
    if (full) {
        std::fill(deviceTable.begin(), deviceTable.end(), DeviceRecord{});
        deviceCount = 0;
    } else {
        if (target < 0 || target >= kDeviceSlots) return 0;
        deviceTable[static_cast<std::size_t>(target)].pathCount = 0;
    }
    const std::shared_ptr<DeviceTree>& tree = devices.tree;
    if (!tree || !devices.backend) return 0;

    for (InterfaceClass cls : {InterfaceClass::CdRom, InterfaceClass::Disk}) {
        auto interfaces = tree->PresentInterfaces(cls);
        if (!interfaces) continue;
        for (const DeviceInterface& iface : *interfaces) {
            const std::optional<DevNode> usb = tree->UsbDeviceOf(iface.node);
            if (!usb) continue;
            const DevNode usbNode = *usb;
            const std::u16string port = tree->UsbPort(usbNode).value_or(u"");
            if (!boundPort.empty() && port != boundPort) continue;  // not the run's drive

            // The slot: a record of the same USB device gains a path, otherwise a new record.
            std::size_t slot = 0;
            bool addPath = false;
            if (full) {
                auto known =
                    std::find_if(deviceTable.begin(), deviceTable.begin() + deviceCount,
                                 [&](const DeviceRecord& r) { return r.usbNode == usbNode; });
                if (known != deviceTable.begin() + deviceCount) {
                    slot = static_cast<std::size_t>(known - deviceTable.begin());
                    addPath = true;
                } else if (deviceCount < static_cast<std::uint32_t>(kDeviceSlots)) {
                    slot = deviceCount;
                } else {
                    continue;  // the table is full
                }
            } else {
                slot = static_cast<std::size_t>(target);
                if (std::any_of(deviceTable.begin(), deviceTable.begin() + target,
                                [&](const DeviceRecord& r) { return r.usbNode == usbNode; })) {
                    continue;
                }
                const DeviceRecord& current = deviceTable[slot];
                if (current.pathCount > 0) {
                    if (current.usbNode != usbNode) continue;
                    addPath = true;
                }
            }
            DeviceRecord& record = deviceTable[slot];

            CNtDevCtrl handle;
            if (!handle.Open(*devices.backend, iface.path)) continue;
            // The node opened must be the one just listed under that path.
            const std::optional<std::uint64_t> identity = tree->NodeIdentity(iface.path);
            if (identity && handle.NodeIdentity() != identity) continue;
            if (addPath) {
                auto number = tree->StorageDeviceNumber(iface.path);
                if (!number) continue;
                AddPathDetails(record, *tree, handle, iface, *number, identity);
                WaitUntilReady(*this, *tree, iface.node);
                continue;
            }

            record.firmwareVersion.clear();
            std::uint8_t version[kVersionBlockSize];
            if (!ReadFirmwareVersion(version, handle)) continue;  // no bridge: not listed
            record.firmwareVersion = FirmwareVersionText(version);
            std::uint8_t status[kStatusBlockSize];
            if (ReadBridgeStatus(status, handle)) {
                record.normalMode = (status[0] & kStatusLoader) == 0 ? 1 : 0;
                record.statusMaskClear = (status[0] & kStatusMask45) == 0 ? 1 : 0;
            } else {
                record.normalMode = 1;
                record.statusMaskClear = 0;
            }
            if (version[2] < 2 || record.normalMode == 0 ||
                !ReadBridgeInfo(record.bridgeInfo.data(), handle)) {
                record.bridgeInfo[0] = 0xFF;
            }
            auto number = tree->StorageDeviceNumber(iface.path);
            if (!number) continue;
            AddPathDetails(record, *tree, handle, iface, *number, identity);
            if (full) ++deviceCount;
            WaitUntilReady(*this, *tree, iface.node);
            handle.Close();
            if (record.pathCount > 0) {
                record.usbNode = usbNode;
                record.usbPort = port;
                ReadUsbIdentity(record, *tree);
            }
        }
    }
    return full ? static_cast<int>(deviceCount)
                : static_cast<int>(deviceTable[static_cast<std::size_t>(target)].pathCount);
}

int CBridgeMgr::IdentifyChip(int slot) {
    // A slot outside the table is no drive.
    if (slot < 0 || slot >= kDeviceSlots) return -1;
    const DeviceRecord& record = deviceTable[static_cast<std::size_t>(slot)];
    if (record.vendorId == kMakerVendorId) {
        CSpti request;
        if (!OpenListedPath(devices, request, record)) return -1;
        std::uint8_t name[kChipNameSize];
        if (!ReadChipName(request, name)) return -1;
        static constexpr char kFirstGeneration[8] = {'M', 'B', '8', '6', 'C', '3', '0', 'A'};
        return std::equal(std::begin(kFirstGeneration), std::end(kFirstGeneration), name) ? 1 : 2;
    }
    if (record.vendorId == kBareBridgeVendorId) {
        return record.productId == kFirstGenerationBareProductId ? 1 : 2;
    }
    return -1;
}

}  // namespace mox3
