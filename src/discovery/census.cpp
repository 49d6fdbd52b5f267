#include "discovery/census.h"

#include <algorithm>

#include "base/text.h"
#include "bridge/vendor_commands.h"
#include "discovery/device_tree.h"
#include "discovery/drive_models.h"

namespace mox3 {

namespace {

constexpr std::uint32_t kCensusTimeoutSeconds = 2;

}  // namespace

const std::vector<KnownIdentity>& KnownIdentities() {
    static const std::vector<KnownIdentity> identities = [] {
        std::vector<KnownIdentity> p;
        auto add = [&](std::uint16_t vendor, std::uint16_t product, bool noUpdate) {
            for (const KnownIdentity& known : p) {
                // one entry for the names of a product id
                if (known.ids.vendorId == vendor && known.ids.productId == product) return;
            }
            p.push_back({{vendor, product}, noUpdate});
        };
        for (const DriveModel& m : DriveModels()) {
            if (m.configResource != 0) add(kMakerVendorId, m.productId, false);
        }
        add(kBareBridgeVendorId, kFirstGenerationBareProductId, false);
        add(kBareBridgeVendorId, kSecondGenerationBareProductId, false);
        for (const DriveModel& m : DriveModels()) {
            if (m.configResource == 0) add(kMakerVendorId, m.productId, true);
        }
        return p;
    }();
    return identities;
}

int CUsbDiskList::ListUsbDisks() {
    entries_.clear();
    const auto& tree = devices_.tree;
    if (!tree || !devices_.backend) return 0;
    auto interfaces = tree->PresentInterfaces(InterfaceClass::Disk);
    if (!interfaces) return 0;
    for (const DeviceInterface& iface : *interfaces) {
        bool onUsb = false;
        {
            CNtDevCtrl disk;
            if (!disk.Open(*devices_.backend, iface.path)) continue;
            onUsb = tree->OnUsbBus(iface.path).value_or(false);
        }
        if (onUsb) entries_.push_back({iface, {}});
    }
    return static_cast<int>(entries_.size());
}

int CUsbDiskList::OpenSelectedDisk() {
    if (selected_ < 0 || static_cast<std::size_t>(selected_) >= entries_.size()) return 0;
    if (!devices_.backend ||
        !transport_.Open(*devices_.backend,
                         entries_[static_cast<std::size_t>(selected_)].disk.path)) {
        return 0;
    }
    std::uint32_t blockLength = 0;
    ReadCapacity(transport_, blockLength);  // the census does not use the answer
    return 1;
}

bool CUsbDiskList::InquireSelectedDisk() {
    if (selected_ < 0 || static_cast<std::size_t>(selected_) >= entries_.size()) return false;
    UsbDiskEntry& entry = entries_[static_cast<std::size_t>(selected_)];
    transport_.Setup(DataDirection::In, 6, entry.inquiryData.data(), kInquirySize,
                     kCensusTimeoutSeconds);
    transport_.cdb[0] = kOpInquiry;
    transport_.cdb[4] = static_cast<std::uint8_t>(kInquirySize);
    return transport_.Execute();
}

int CountKnownDrives(const DeviceAccess& access, int* devices) {
    CUsbDiskList list(access);
    const auto& tree = access.tree;
    const auto& known = KnownIdentities();
    // The USB devices found, each once: one device may carry several disks.
    std::vector<DevNode> counted;
    bool noUpdate = false;
    const int n = list.ListUsbDisks();
    for (int i = 0; i < n && tree; ++i) {
        list.Select(i);
        if (list.OpenSelectedDisk() == 0 || !list.InquireSelectedDisk()) continue;
        auto device = tree->UsbDeviceOf(list.entries()[static_cast<std::size_t>(i)].disk.node);
        auto ids = device ? tree->UsbDeviceIds(*device) : std::nullopt;
        if (!ids) continue;
        auto match = std::find_if(known.begin(), known.end(), [&](const KnownIdentity& k) {
            return k.ids.vendorId == ids->vendorId && k.ids.productId == ids->productId;
        });
        if (match == known.end()) continue;
        if (match->noUpdate) noUpdate = true;
        if (std::find(counted.begin(), counted.end(), *device) == counted.end()) {
            counted.push_back(*device);
        }
    }
    list.transport().Close();
    const std::size_t count = counted.size();
    if (devices) *devices = static_cast<int>(count);
    if (count == 0) return kCensusNone;
    if (count > 1) return kCensusMany;
    return noUpdate ? kCensusNoUpdate : kCensusOne;
}

}  // namespace mox3
